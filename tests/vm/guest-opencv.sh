# Sourced by run.sh after the initramfs's libraries are resolved: the
# project's OpenCV example (examples/opencv_capture.cpp) for the guest,
# built against Debian's OpenCV 4.6 and shared with the guest read-only over
# virtio-9p, so OpenCV's ~250 MB of libraries (videoio pulls in ffmpeg,
# GStreamer, GDAL and more) never enter the initramfs and the guest reads
# only the pages it maps.
#
# The packages are the runtime dependency closure of libopencv-videoio406
# (arch-specific ones; arch-independent packages carry no libraries) plus the
# core and videoio headers, fetched with apt-get download and unpacked once
# per version into the cache. Uses run.sh's $cache, $deb_arch, $multiarch,
# $cxx, $root, $build, $work, $r, $unpacked, copy_module and resolve_libs. Sets
# opencv_share (the directory to share) or leaves it empty and sets
# opencv_missing to the reason.
opencv_share=""
opencv_missing=""
opencv_prepare() {
  local version oc list all sel dirs
  version=$(apt-cache policy "libopencv-videoio406:$deb_arch" 2>/dev/null | sed -n 's/^ *Candidate: //p')
  [ -n "$version" ] && [ "$version" != "(none)" ] || { opencv_missing="no libopencv-videoio406:$deb_arch in the archive"; return 1; }
  oc=$cache/opencv-$deb_arch-$version
  if [ ! -f "$oc/.done" ]; then
    rm -rf "$oc"; mkdir -p "$oc/debs" "$oc/root"
    list=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks --no-replaces \
             --no-enhances "libopencv-videoio406:$deb_arch" 2>/dev/null | grep -v '^[ <]' | sed "s/:$deb_arch\$//" | grep -v : | sort -u)
    all=$(apt-cache show --no-all-versions $list 2>/dev/null | awk '/^Package:/ { p = $2 } /^Architecture: all/ { print p }' | sort -u)
    sel=$(comm -23 <(echo "$list") <(echo "$all"))
    (cd "$oc/debs" && apt-get download $(printf "%s:$deb_arch " $sel libopencv-core-dev libopencv-videoio-dev) \
       >"$work/opencv-download.log" 2>&1) || { opencv_missing="apt-get download failed: $(grep -m 1 '^E:' "$work/opencv-download.log")"; return 1; }
    ls "$oc"/debs/*.deb | xargs -P "$(nproc)" -I{} dpkg -x {} "$oc/root"
    touch "$oc/.done"
  fi
  opencv_share=$work/opencv
  mkdir -p "$opencv_share/bin" "$opencv_share/lib"
  # Every shared library the OpenCV libraries need that the guest does not
  # already have, from wherever the unpacked packages keep it (some live
  # outside the multiarch directory, e.g. behind alternatives).
  mapfile -t dirs < <(find "$oc/root" \( -type f -o -type l \) -name 'lib*.so*' -printf '%h\n' | sort -u)
  cp -L "$oc/root/usr/lib/$multiarch/libopencv_videoio.so.406" "$oc/root/usr/lib/$multiarch/libopencv_core.so.406" \
    "$opencv_share/lib/"
  queue=("$opencv_share"/lib/libopencv_*.so.406)
  resolve_libs "$opencv_share/lib" "${dirs[@]}" || { opencv_missing=$resolve_missing; return 1; }
  "$cxx" -std=c++17 -O2 -Wall -Wextra -Werror -I"$root/include" -I"$oc/root/usr/include/opencv4" \
    -I"$oc/root/usr/include/$multiarch/opencv4" "$root/examples/opencv_capture.cpp" -o "$opencv_share/bin/opencv_capture" \
    -L"$build/src" -lmorvane_uvc_stereo_sdk "$opencv_share/lib/libopencv_videoio.so.406" \
    "$opencv_share/lib/libopencv_core.so.406" -Wl,-rpath-link,"$opencv_share/lib:$r/lib/$multiarch" \
    -Wl,-rpath,/opt/morvane/lib:/opt/opencv/lib >"$work/opencv-build.log" 2>&1 ||
    { opencv_missing="the example does not build: $(head -n 5 "$work/opencv-build.log")"; return 1; }
  queue=("$opencv_share/bin/opencv_capture")
  resolve_libs "$opencv_share/lib" "${dirs[@]}" || { opencv_missing=$resolve_missing; return 1; }
  # The guest loads these to mount the share; some are built into a kernel.
  : >"$r/etc/vm-share-modules"
  for m in virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci netfs fscache 9pnet 9pnet_virtio 9p; do
    if copy_module "$m"; then
      echo "$m" >>"$r/etc/vm-share-modules"
    elif ! grep -q "/$m\.ko\$" "$unpacked/lib/modules/$kver/modules.builtin"; then
      opencv_missing="kernel module $m is missing"; return 1
    fi
  done
  echo "vm: OpenCV $version for the guest: $(ls "$opencv_share/lib" | wc -l) libraries, $(du -sm "$opencv_share" | cut -f1) MB shared over 9p"
}
# Without it the guest's scenario fails with this reason.
opencv_prepare || { opencv_share=""; echo "$opencv_missing" >"$r/etc/vm-opencv-missing"; echo "vm: OpenCV example not prepared: $opencv_missing"; }
