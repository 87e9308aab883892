#!/usr/bin/env bash
# Checks the dynamic symbols of the C library:
#  - the defined ones are exactly the functions listed in $2, each a FUNC
#    at the version node MORVANE_FLASHSDK_0.1 (besides the node's own name);
#  - the undefined ones come only from the C and C++ runtimes, libusb and
#    pthread, and so do the needed libraries. This part is skipped in a
#    sanitizer build ($3 non-empty), whose runtime adds its own symbols.
# Exit 0: pass, 1: fail, 77: the tools are missing.
set -euo pipefail
lib=$1
expected_list=$2
sanitize=${3:-}
node=MORVANE_FLASHSDK_0.1

for tool in readelf nm sort comm; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool not found"; exit 77; }
done

status=0
fail() { echo "FAIL: $*"; status=1; }

expected=$(LC_ALL=C sort -u "$expected_list")
count=$(printf '%s\n' "$expected" | grep -c .)
[ "$count" -eq 20 ] || fail "the list names $count functions, not 20"

# readelf --dyn-syms -W: Num: Value Size Type Bind Vis Ndx Name
dynsyms=$(readelf --dyn-syms -W "$lib" | awk 'NF >= 8 && $1 ~ /^[0-9]+:$/ {print $4, $5, $7, $8}')

# Defined symbols (Ndx not UND), the version node's own ABS symbol aside, and
# the local section symbols some linkers (aarch64) put in .dynsym, which are
# not exports.
defined=$(printf '%s\n' "$dynsyms" |
          awk -v node="$node" '$3 != "UND" && $4 != node "@@" node && $4 != node && !($1 == "SECTION" && $2 == "LOCAL")')
defined_names=$(printf '%s\n' "$defined" | awk '{print $4}' | LC_ALL=C sort -u)
bare_names=$(printf '%s\n' "$defined_names" | sed 's/@.*//' | LC_ALL=C sort -u)

missing=$(LC_ALL=C comm -23 <(printf '%s\n' "$expected") <(printf '%s\n' "$bare_names"))
extra=$(LC_ALL=C comm -13 <(printf '%s\n' "$expected") <(printf '%s\n' "$bare_names"))
[ -z "$missing" ] || fail "not exported: $(echo $missing)"
[ -z "$extra" ] || fail "exported but not in the list: $(echo $extra)"

while read -r type bind ndx name; do
  [ -n "$name" ] || continue
  case "$name" in
    *@@"$node") ;;
    *) fail "$name is not at version node $node" ;;
  esac
  [ "$type" = FUNC ] || fail "$name is a $type, not a FUNC"
  [ "$bind" = GLOBAL ] || fail "$name has binding $bind"
done <<<"$defined"

# nm agrees on the defined dynamic symbols.
nm_names=$(nm -D --defined-only "$lib" | awk '{print $3}' | sed 's/@.*//' | grep -vx "$node" | LC_ALL=C sort -u)
[ "$nm_names" = "$expected" ] || fail "nm -D --defined-only differs from the list: $(echo $nm_names)"

if [ -n "$sanitize" ]; then
  echo "undefined-symbol check skipped: built with -fsanitize=$sanitize"
else
  # Undefined symbols: versioned by glibc, libstdc++ or libgcc, or libusb's
  # own (unversioned), libudev's (for the hot-plug monitor), or the weak hooks
  # every shared object references.
  while read -r type bind ndx name; do
    [ "$ndx" = UND ] || continue
    [ -n "$name" ] || continue
    case "$name" in
      *@GLIBC_*|*@GLIBCXX_*|*@CXXABI_*|*@GCC_*) ;;
      libusb_*) ;;
      udev_*@LIBUDEV_*) ;;
      __gmon_start__|_ITM_deregisterTMCloneTable|_ITM_registerTMCloneTable|__cxa_finalize) ;;
      *) fail "undefined symbol from an unexpected library: $name" ;;
    esac
  done <<<"$dynsyms"
  needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  for so in $needed; do
    case "$so" in
      libc.so.*|libstdc++.so.*|libgcc_s.so.*|libm.so.*|libusb-1.0.so.*|libudev.so.*|libpthread.so.*|ld-linux*) ;;
      *) fail "unexpected needed library: $so" ;;
    esac
  done
fi

if [ "$status" -eq 0 ]; then
  echo "PASS: $count functions exported at $node, nothing else"
fi
exit "$status"
