#!/usr/bin/env bash
# usage: check_cxx_exports.sh LIBRARY SONIX_HEADER [ACCESS_LIBRARY_LIST [CXX_LIST]]
# Fails when the library exports a name outside morvane::uvc_stereo and the
# access library's declared names, or misses a declared or key public name.
# With a list (one name a line, # comments): every listed name must be
# exported unmangled, and every unmangled export must be listed. With a C++
# list (demangled names, one a line): every listed name must be exported and
# every mangled export must be listed.
set -euo pipefail
export LC_ALL=C
lib=$1
header=$2
list=${3:-}
cxx_list=${4:-}
failures=0

defined=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort -u)
demangled=$(printf '%s\n' "$defined" | c++filt | sed 's/\[abi:cxx11\]//g')

# Names the access-library header declares with its export macro.
declared=$(sed -n 's/^SONIXCAM_\(API\|DATA\)[^(;]*[ *]\([A-Za-z_][A-Za-z0-9_]*\)\[*[0-9]*\]*\[*[0-9]*\]*[(;].*/\2/p' "$header"
           sed -n '/const/!s/^SONIXCAM_\(API\|DATA\) extern [a-z0-9_]* \(.*\);/\2/p' "$header" | tr ',' '\n' | sed 's/[ *]//g; s/\[.*//')
declared=$(printf '%s\n' "$declared" | sed '/^$/d' | sort -u)

while IFS= read -r sym; do
  [ -z "$sym" ] && continue
  case "$sym" in
    morvane::uvc_stereo::*|"typeinfo for morvane::uvc_stereo::"*|"vtable for morvane::uvc_stereo::"*|"typeinfo name for morvane::uvc_stereo::"*) continue ;;
  esac
  if grep -qx -- "$sym" <<<"$declared"; then continue; fi
  echo "unexpected export: $sym"
  failures=$((failures + 1))
done <<<"$demangled"

while IFS= read -r name; do
  if ! grep -qx -- "$name" <<<"$defined"; then
    echo "declared but not exported: $name"
    failures=$((failures + 1))
  fi
done <<<"$declared"

for want in 'morvane::uvc_stereo::crc32_ieee(' 'morvane::uvc_stereo::build_blob(' \
            'morvane::uvc_stereo::parse_and_validate_raw_blob(' 'morvane::uvc_stereo::minify_and_validate_json(' \
            'morvane::uvc_stereo::convert_imu(' 'morvane::uvc_stereo::opencv_backend_name(' \
            'morvane::uvc_stereo::scan_devices(' 'morvane::uvc_stereo::open_device(' \
            'morvane::uvc_stereo::kDeviceWhitelist' 'morvane::uvc_stereo::read_blob_from_device(' \
            'morvane::uvc_stereo::write_blob_to_device(' 'morvane::uvc_stereo::probe_flash_transport(' \
            'morvane::uvc_stereo::detail::read_firmware_version_from_device(' \
            'morvane::uvc_stereo::detail::ensure_imu_supported_by_firmware(' \
            'morvane::uvc_stereo::detail::open_imu_platform(' 'morvane::uvc_stereo::Device::read_json(' \
            'morvane::uvc_stereo::open_imu_stream(' 'morvane::uvc_stereo::ImuStream::next(' \
            'morvane::uvc_stereo::ImuStream::next_batch(' ; do
  if ! grep -qF -- "$want" <<<"$demangled"; then
    echo "missing public export: $want"
    failures=$((failures + 1))
  fi
done

if [ -n "$list" ]; then
  listed=$(sed 's/#.*//; s/[[:space:]]//g; /^$/d' "$list" | sort -u)
  unmangled=$(printf '%s\n' "$defined" | grep -v '^_Z' || true)
  while IFS= read -r name; do
    [ -z "$name" ] && continue
    if ! grep -qx -- "$name" <<<"$unmangled"; then
      echo "listed but not exported unmangled: $name"
      failures=$((failures + 1))
    fi
  done <<<"$listed"
  while IFS= read -r name; do
    [ -z "$name" ] && continue
    if ! grep -qx -- "$name" <<<"$listed"; then
      echo "unmangled export not in the list: $name"
      failures=$((failures + 1))
    fi
  done <<<"$unmangled"
  # An access-library name must never also appear with C++ linkage.
  while IFS= read -r name; do
    [ -z "$name" ] && continue
    if grep -qE -- "^morvane::uvc_stereo::(sonix::)?${name}(\(|$)" <<<"$demangled"; then
      echo "exported mangled: $name"
      failures=$((failures + 1))
    fi
  done <<<"$listed"
fi

if [ -n "$cxx_list" ]; then
  cxx_listed=$(sed 's/[[:space:]]*#.*//; /^[[:space:]]*$/d' "$cxx_list" | sort -u)
  cxx_exported=$(printf '%s\n' "$defined" | grep '^_Z' | c++filt | sed 's/\[abi:cxx11\]//g' | sort -u || true)
  while IFS= read -r name; do
    [ -z "$name" ] && continue
    echo "listed but not exported: $name"
    failures=$((failures + 1))
  done < <(comm -23 <(printf '%s\n' "$cxx_listed") <(printf '%s\n' "$cxx_exported"))
  while IFS= read -r name; do
    [ -z "$name" ] && continue
    echo "exported but not in the list: $name"
    failures=$((failures + 1))
  done < <(comm -13 <(printf '%s\n' "$cxx_listed") <(printf '%s\n' "$cxx_exported"))
fi

if ((failures)); then
  echo "$failures export problem(s) in $lib"
  exit 1
fi
echo "exports of $(basename "$lib"): $(printf '%s\n' "$defined" | wc -l) symbols, all expected"
