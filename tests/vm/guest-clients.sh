# Sourced by run.sh while it builds the initramfs: the video clients of the
# guest. v4l2-ctl and v4l2-compliance (Debian's v4l-utils) and GStreamer's
# gst-launch-1.0 with only the core elements and v4l2src plugins, from Debian packages fetched
# with apt-get download and cached like the kernel, plus the frame checker
# and the SDK output checker (guest/frame_check.cpp, guest/sdk_output_check.cpp).
# Uses run.sh's fetch, $cache, $deb_arch, $multiarch, $cxx, $root, $work and
# $r; sets client_elfs (programs and plugins whose libraries run.sh resolves)
# and client_lib_dirs (where to look for them first).
client_packages=(v4l-utils libv4l-0 libv4lconvert0 libjpeg62-turbo
                 gstreamer1.0-tools libgstreamer1.0-0 gstreamer1.0-plugins-good libgstreamer-plugins-base1.0-0
                 liborc-0.4-0 libglib2.0-0 libgudev-1.0-0 libffi8 libpcre2-8-0 libunwind8 libdw1 libelf1
                 liblzma5 libbz2-1.0 libzstd1 zlib1g libstdc++6 libgcc-s1)
client_debs=()
for p in "${client_packages[@]}"; do
  d=$(fetch "$p" || true)
  [ -n "$d" ] || skip "cannot download $p:$deb_arch (the guest's video clients)"
  client_debs+=("$d")
done
client_root=$cache/clients-$deb_arch-$(printf '%s\n' "${client_debs[@]##*/}" | sha256sum | cut -c1-12)
if [ ! -f "$client_root/.done" ]; then
  rm -rf "$client_root"; mkdir -p "$client_root"
  for d in "${client_debs[@]}"; do dpkg -x "$d" "$client_root"; done
  touch "$client_root/.done"
fi
plugins=usr/lib/$multiarch/gstreamer-1.0
mkdir -p "$r/$plugins"
cp "$client_root/usr/bin/v4l2-ctl" "$client_root/usr/bin/v4l2-compliance" "$client_root/usr/bin/gst-launch-1.0" "$r/usr/bin/"
cp "$client_root/$plugins/libgstcoreelements.so" "$client_root/$plugins/libgstvideo4linux2.so" "$r/$plugins/"
for checker in frame_check sdk_output_check; do
  "$cxx" -std=c++17 -O2 -Wall -Wextra -Werror "$root/tests/vm/guest/$checker.cpp" -o "$r/opt/morvane/bin/$checker"
done
client_elfs=("$r/usr/bin/v4l2-ctl" "$r/usr/bin/v4l2-compliance" "$r/usr/bin/gst-launch-1.0" "$r/$plugins/"*.so
             "$r/opt/morvane/bin/frame_check" "$r/opt/morvane/bin/sdk_output_check")
client_lib_dirs=("$client_root/lib/$multiarch" "$client_root/usr/lib/$multiarch")
