#!/usr/bin/env bash
# Builds the Debian packages from a finished CMake build, as Debian ships a
# library: one runtime package per shared library named after its SONAME, the
# arch-independent package with the udev rule both need, a -dev package, the
# tools package and, when the build has the Python component, the python3
# package. Binaries are stripped; dependencies come from dpkg-shlibdeps and
# the libraries' symbols files (packaging/debian/<package>.symbols, checked
# by dpkg-gensymbols: a symbol missing from a library, or one it exports
# without the file listing it, fails the build).
#
#   packaging/build-debs.sh BUILD_DIR OUT_DIR [ARCH]
#
# ARCH is a Debian architecture (default: the host's); for a cross build
# (arm64) the build directory must be the cross build. The build directory is
# re-configured to install into /usr with the multiarch library directory
# (only install rules change, nothing is rebuilt). Prints each package with
# its size. Exit status 0 when all packages were built.
set -euo pipefail
build=$(cd "$1" && pwd)
mkdir -p "$2"
out=$(cd "$2" && pwd)
arch=${3:-$(dpkg --print-architecture)}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)

triplet=$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
gnu_type=$(dpkg-architecture -a"$arch" -qDEB_HOST_GNU_TYPE 2>/dev/null)
strip_tool=strip
objcopy_tool=objcopy
if [ "$arch" != "$(dpkg --print-architecture)" ]; then
  strip_tool=$gnu_type-strip
  objcopy_tool=$gnu_type-objcopy
fi
version=$(sed -n 's/^project(morvane_uvc_stereo_sdk VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
[ -n "$version" ] || { echo "cannot read the project version"; exit 1; }
debversion=$version-1
# The SONAME's version: major.minor while the major version is 0, as the
# libraries' SOVERSION.
if [ "${version%%.*}" = 0 ]; then soversion=${version%.*}; else soversion=${version%%.*}; fi
libdir=lib/$triplet

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake -S "$root" -B "$build" -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_LIBDIR="$libdir" >/dev/null
stage_component() {  # component -> $work/stage/<component>
  local dir=$work/stage/$1
  mkdir -p "$dir"
  DESTDIR=$dir cmake --install "$build" --component "$1" >/dev/null
}
for component in runtime development tools python; do stage_component "$component"; done
runtime_stage=$work/stage/runtime

# ------------------------------------------------------------ package trees
pkg_dir() { echo "$work/pkg/$1"; }
new_package() {  # name
  local dir
  dir=$(pkg_dir "$1")
  mkdir -p "$dir/DEBIAN" "$dir/usr/share/doc/$1"
  # The copyright and changelog every package carries.
  cp "$here/debian/copyright" "$dir/usr/share/doc/$1/copyright"
  gzip -9n <"$here/debian/changelog" >"$dir/usr/share/doc/$1/changelog.Debian.gz"
}
move() {  # from-root, relative path (glob allowed), package
  local from=$1 rel=$2 to
  to=$(pkg_dir "$3")
  # shellcheck disable=SC2086
  for f in $from/$rel; do
    [ -e "$f" ] || [ -L "$f" ] || continue
    local target=$to/${f#"$from"/}
    mkdir -p "$(dirname "$target")"
    mv "$f" "$target"
  done
}

# One runtime package per shared library, named after its SONAME as Debian
# names them (libfoo_bar.so.0.1 -> libfoo-bar0.1).
readelf_tool=readelf
[ "$arch" = "$(dpkg --print-architecture)" ] || readelf_tool=$gnu_type-readelf
lib_packages=()
declare -A lib_package_of lib_soname_of
for real in "$runtime_stage"/usr/"$libdir"/lib*.so.*.*; do
  [ -f "$real" ] || continue
  soname=$("$readelf_tool" -d "$real" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
  base=${soname%%.so.*}
  name=$(echo "${base}${soname##*.so.}" | tr '_' '-' | tr 'A-Z' 'a-z')
  lib_packages+=("$name")
  lib_package_of[$name]=$name
  lib_soname_of[$name]=$soname
  new_package "$name"
  move "$runtime_stage" "usr/$libdir/$base.so.*" "$name"
done
cxx=libmorvane-uvc-stereo-sdk$soversion
cxx_c=libmorvane-uvc-stereo-sdk-c$soversion
[ -n "${lib_package_of[$cxx]:-}" ] && [ -n "${lib_package_of[$cxx_c]:-}" ] || {
  echo "the runtime component lacks the C++ or the C library"; exit 1; }
common=libmorvane-uvc-stereo-common
dev=libmorvane-uvc-stereo-sdk-dev
tools=morvane-uvc-stereo-tools
py=python3-morvane-uvc-stereo
runtime=$runtime_stage
development=$work/stage/development

new_package "$common"
move "$runtime" "usr/lib/udev/rules.d/*" "$common"
new_package "$dev"
move "$development" "usr/include" "$dev"
move "$development" "usr/$libdir/*" "$dev"
new_package "$tools"
move "$work/stage/tools" "usr/bin" "$tools"
move "$work/stage/tools" "usr/share/man" "$tools"
move "$work/stage/tools" "usr/share/bash-completion" "$tools"
packages=("${lib_packages[@]}" "$common" "$dev" "$tools")
if [ -n "$(find "$work/stage/python" -type f 2>/dev/null | head -n 1)" ]; then
  new_package "$py"
  cp -a "$work/stage/python/." "$(pkg_dir "$py")/"
  packages+=("$py")
fi
# Nothing may be left behind unpackaged.
leftover=$(find "$runtime" "$development" "$work/stage/tools" -type f -o -type l)
if [ -n "$leftover" ]; then
  echo "installed files in no package:"
  echo "$leftover"
  exit 1
fi

# ---------------------------------------------------------- strip, compress
for p in "${packages[@]}"; do
  dir=$(pkg_dir "$p")
  while IFS= read -r -d '' f; do
    if file -b "$f" | grep -q 'ELF.*shared object'; then
      "$strip_tool" --remove-section=.comment --remove-section=.note --strip-unneeded "$f"
      case $f in *.so | *.so.*) chmod 0644 "$f" ;; esac
    elif file -b "$f" | grep -q 'ELF.*executable'; then
      "$strip_tool" --remove-section=.comment --remove-section=.note "$f"
    fi
  done < <(find "$dir" -type f -print0)
  find "$dir/usr/share/man" -type f -name '*.[0-9]' -exec gzip -9n {} + 2>/dev/null || true
  find "$dir" -type d -exec chmod 0755 {} +
  find "$dir" -type f ! -perm -u+x -exec chmod 0644 {} +
done

# --------------------------------------------------------- dependencies
# Each library package carries its shlibs and its symbols file, checked
# against the template in packaging/debian; dpkg-shlibdeps then takes the
# versions of the symbols a binary uses from the symbols files of the
# package trees. It reads a debian/control; it gets a minimal one of its own.
shl=$work/shlibdeps
mkdir -p "$shl/debian"
printf 'Source: morvane-uvc-stereo-sdk\n\nPackage: dummy\nArchitecture: any\n' >"$shl/debian/control"
for p in "${lib_packages[@]}"; do
  so=${lib_soname_of[$p]}
  printf '%s %s %s (>= %s)\n' "${so%%.so.*}" "${so##*.so.}" "$p" "$version" >"$(pkg_dir "$p")/DEBIAN/shlibs"
  # The templates list each symbol with the upstream version that brought
  # it; the build's Debian version is later than that, so a listed symbol
  # the library lacks counts as lost (-c4: lost or new symbols fail).
  template=$here/debian/$p.symbols
  [ -f "$template" ] || { echo "no symbols file $template for $so"; exit 1; }
  if ! (cd "$shl" && dpkg-gensymbols -q -c4 -a"$arch" -p"$p" -v"$debversion" -P"$(pkg_dir "$p")" \
          -e"$(pkg_dir "$p")/usr/$libdir/$so" -I"$template" -O"$(pkg_dir "$p")/DEBIAN/symbols" \
          >"$work/gensymbols.out" 2>&1); then
    cat "$work/gensymbols.out"
    echo "the symbols of $so differ from $template"
    exit 1
  fi
done
shlibs_of() {  # package: "Depends" value for its ELF files, empty when none
  local dir elves
  dir=$(pkg_dir "$1")
  mapfile -t elves < <(find "$dir" -type f -exec sh -c 'file -b "$1" | grep -q ^ELF' sh {} \; -print)
  ((${#elves[@]})) || return 0
  local search=() l
  for l in "${lib_packages[@]}"; do search+=("-S$(pkg_dir "$l")" "-l$(pkg_dir "$l")/usr/$libdir"); done
  (cd "$shl" && DEB_HOST_ARCH=$arch dpkg-shlibdeps "${search[@]}" -O "${elves[@]}" 2>"$work/shlibdeps.err") |
    sed -n 's/^shlibs:Depends=//p'
}
# A package that uses the C++ library's private interfaces (the OS boundary's
# hook, the core's internal types) needs the very build it was made with.
exact_cxx() {  # Depends value -> the same with the C++ library pinned
  printf '%s\n' "$1" | tr ',' '\n' | sed 's/^ *//' | grep -v "^$cxx\( \|$\)" |
    paste -sd, - | sed "s/^/$cxx (= $debversion),/; s/,\$//; s/,/, /g"
}

installed_size() { du -k -s --apparent-size "$(pkg_dir "$1")" | awk '{print $1}'; }

control() {  # package, architecture, multi-arch, section, depends, summary, description...
  local p=$1 a=$2 ma=$3 section=$4 depends=$5 summary=$6
  shift 6
  {
    echo "Package: $p"
    echo "Source: morvane-uvc-stereo-sdk"
    echo "Version: $debversion"
    echo "Architecture: $a"
    [ -z "$ma" ] || echo "Multi-Arch: $ma"
    echo "Maintainer: Morvane SDK team <sdk@morvane.example>"
    echo "Installed-Size: $(installed_size "$p")"
    [ -z "$depends" ] || echo "Depends: $depends"
    echo "Section: $section"
    echo "Priority: optional"
    echo "Homepage: https://morvane.example/uvc-stereo-sdk"
    echo "Description: $summary"
    for line in "$@"; do
      if [ -z "$line" ]; then echo " ."; else echo " $line"; fi
    done
  } >"$(pkg_dir "$p")/DEBIAN/control"
}

join_deps() { local IFS=,; echo "$*" | sed 's/,/, /g; s/^, //; s/, ,/,/g; s/, $//'; }

tools_deps=$(join_deps "$(shlibs_of "$tools")" "$common (>= $debversion)")

lib_text=("Morvane UVC stereo cameras carry an IMU and keep their calibration in a"
  "serial flash behind a Sonix USB controller. The SDK finds the supported"
  "cameras (one record per camera, with its video node and OpenCV capture"
  "index), watches them arrive and leave, reads and writes the calibration"
  "document and reads the IMU.")
lib_summary() {  # package
  case $1 in
    "$cxx") echo "C++ library" ;;
    "$cxx_c") echo "C library" ;;
    *sim*) echo "simulated camera library" ;;
    *) echo "library ${lib_soname_of[$1]}" ;;
  esac
}
lib_detail() {
  case $1 in
    "$cxx") echo "This package holds the C++ library, which also exports the SonixCam access library for the camera's USB controller." ;;
    "$cxx_c") echo "This package holds the C library: the same services through plain C functions, with its own copy of the core." ;;
    *sim*) echo "This package holds the simulated camera, which lets applications be tested against a virtual camera without hardware." ;;
    *) echo "This package holds ${lib_soname_of[$1]}." ;;
  esac
}
for p in "${lib_packages[@]}"; do
  mapfile -t detail < <(lib_detail "$p" | fold -s -w 72 | sed 's/ *$//')
  deps=$(shlibs_of "$p")
  case $p in *sim*) deps=$(exact_cxx "$deps") ;; esac
  control "$p" "$arch" same libs "$(join_deps "$deps" "$common (>= $debversion)")" \
    "SDK for Morvane UVC stereo cameras - $(lib_summary "$p")" "${lib_text[@]}" "" "${detail[@]}"
  printf 'activate-noawait ldconfig\n' >"$(pkg_dir "$p")/DEBIAN/triggers"
done
control "$common" all foreign libs "" \
  "SDK for Morvane UVC stereo cameras - udev rule" "${lib_text[@]}" "" \
  "This package holds the udev rule that gives the logged-in user and the" \
  "plugdev group access to the cameras' USB device nodes, which the" \
  "libraries need to reach the controller."
# A camera plugged in before the rule came keeps the permissions it got
# then: udev is asked to apply the new rule to the supported cameras now
# (the vendor/product pairs of the rule itself). Without a running udev (a
# chroot, a container, an image being built) there is nothing to do.
ids=$(sed -n 's/.*ATTR{idVendor}=="\([0-9a-f]\{4\}\)".*ATTR{idProduct}=="\([0-9a-f]\{4\}\)".*/\1:\2/p' \
  "$here/70-morvane-uvc-stereo.rules" | sort -u | tr '\n' ' ' | sed 's/ $//')
[ -n "$ids" ] || { echo "no vendor/product ids in the udev rule"; exit 1; }
cat >"$(pkg_dir "$common")/DEBIAN/postinst" <<EOF_POSTINST
#!/bin/sh
set -e
if [ "\$1" = configure ] && [ -S /run/udev/control ] && command -v udevadm >/dev/null 2>&1; then
	udevadm control --reload-rules || true
	for id in $ids; do
		udevadm trigger --action=change --subsystem-match=usb \\
			--attr-match=idVendor="\${id%%:*}" --attr-match=idProduct="\${id#*:}" || true
	done
fi
EOF_POSTINST
dev_deps=()
for p in "${lib_packages[@]}"; do dev_deps+=("$p (= $debversion)"); done
control "$dev" "$arch" same libdevel "$(join_deps "${dev_deps[@]}" libusb-1.0-0-dev libudev-dev)" \
  "SDK for Morvane UVC stereo cameras - development files" "${lib_text[@]}" "" \
  "This package holds the C++ and C headers, the CMake package" \
  "(find_package(morvane_uvc_stereo_sdk)) and the pkg-config files."
control "$tools" "$arch" foreign utils "$tools_deps" \
  "SDK for Morvane UVC stereo cameras - command-line tool" "${lib_text[@]}" "" \
  "This package holds morvane-uvc-stereo, which lists and watches the" \
  "cameras, reads and writes their calibration, streams the IMU and reaches" \
  "the controller's firmware and sensor registers."
if [[ " ${packages[*]} " == *" $py "* ]]; then
  py_deps=$(exact_cxx "$(shlibs_of "$py")")
  control "$py" "$arch" "" python "$(join_deps "$py_deps" "python3 (>= 3.11)" "python3 (<< 3.12)" "python3-numpy")" \
    "SDK for Morvane UVC stereo cameras - Python 3 module" "${lib_text[@]}" "" \
    "This package holds the Python 3 module morvane_uvc_stereo."
  # As Debian's Python packages do: the module is byte-compiled when it is
  # configured and its byte code removed before it goes, so the interpreter
  # (run as root) leaves no __pycache__ behind after a purge.
  cat >"$(pkg_dir "$py")/DEBIAN/postinst" <<EOF_POSTINST
#!/bin/sh
set -e
if [ "\$1" = configure ] && command -v py3compile >/dev/null 2>&1; then
	py3compile -p $py
fi
EOF_POSTINST
  cat >"$(pkg_dir "$py")/DEBIAN/prerm" <<EOF_PRERM
#!/bin/sh
set -e
if command -v py3clean >/dev/null 2>&1; then
	py3clean -p $py
else
	rm -rf /usr/lib/python3/dist-packages/morvane_uvc_stereo/__pycache__
fi
EOF_PRERM
fi
# Lintian overrides, each with its reason, live in the package: the tags in
# debian/lintian-overrides hold for every package.
for p in "${packages[@]}"; do
  mkdir -p "$(pkg_dir "$p")/usr/share/lintian/overrides"
  sed -e '/^#/!s/^\([a-z]\)/'"$p"': \1/' "$here/debian/lintian-overrides" \
    >"$(pkg_dir "$p")/usr/share/lintian/overrides/$p"
  chmod 0644 "$(pkg_dir "$p")/usr/share/lintian/overrides/$p"
done

# ------------------------------------------------------------------ build
for p in "${packages[@]}"; do
  dir=$(pkg_dir "$p")
  (cd "$dir" && find . -type f ! -path './DEBIAN/*' -printf '%P\0' | LC_ALL=C sort -z | xargs -0r md5sum) \
    >"$dir/DEBIAN/md5sums"
  chmod 0644 "$dir/DEBIAN/"*
  for script in preinst postinst prerm postrm; do
    if [ -f "$dir/DEBIAN/$script" ]; then chmod 0755 "$dir/DEBIAN/$script"; fi
  done
  a=$(sed -n 's/^Architecture: //p' "$dir/DEBIAN/control")
  deb=$out/${p}_${debversion}_$a.deb
  dpkg-deb --root-owner-group -Zxz --build "$dir" "$deb" >/dev/null
  printf '%-40s %8s bytes\n' "$(basename "$deb")" "$(stat -c %s "$deb")"
done
