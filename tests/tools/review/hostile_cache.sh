#!/bin/bash
# Hostile files at the blob cache path and directory: every run must end in
# time with exit 0 and the camera's own document, with and without
# --reuse-cache. Usage: hostile_cache.sh TOOL
T=${1:?tool}
W=$(mktemp -d /tmp/morvane-cache-XXXXXX)
trap 'rm -rf "$W"' EXIT
export XDG_STATE_HOME=$W/state
S=$W/s.flash
run() { timeout 10 "$T" --simulate="$S" "$@"; }
export -f run; export T S
want=$(XDG_CACHE_HOME=$W/ref run --no-cache config get) || { echo "reference read failed"; exit 1; }
D=$W/cache/morvane-uvc-stereo
C=$D/SIM0001.blob
fails=0
check() {  # name, then a set-up command run with the cache directory fresh
  local name=$1; shift
  rm -rf "$W/cache"; mkdir -p "$D"; chmod 700 "$D"
  "$@"
  for flags in "" "--reuse-cache"; do
    out=$(XDG_CACHE_HOME=$W/cache run $flags config get 2>"$W/err"); rc=$?
    if [ $rc -ne 0 ] || [ "$out" != "$want" ]; then
      echo "BREAK $name $flags: rc=$rc $(head -c 200 "$W/err")"; fails=$((fails + 1))
    fi
  done
  echo "held? $name: cache now $(stat -c '%F %a %U' "$C" 2>/dev/null || echo none), dir $(stat -c '%a %U' "$D" 2>/dev/null)"
}
check "symlink to /dev/zero" ln -s /dev/zero "$C"
check "FIFO" mkfifo "$C"
check "directory" mkdir "$C"
check "sparse 2 GiB file" truncate -s 2G "$C"
check "truncated copy" bash -c "XDG_CACHE_HOME=$W/cache run config get >/dev/null; truncate -s 40 '$C'"
check "zero length" touch "$C"
check "file of another uid" bash -c "XDG_CACHE_HOME=$W/cache run config get >/dev/null; chown 65534 '$C'"
check "dir mode 0777" chmod 777 "$D"
check "dir of another uid" chown 65534 "$D"
check "dir is a symlink" sh -c "rm -rf '$D'; mkdir -p $W/elsewhere; ln -s $W/elsewhere '$D'"
check "cache dir is a file" sh -c "rm -rf '$D'; touch '$D'"
check "symlink to a victim file" sh -c "echo victim > $W/victim; ln -s $W/victim '$C'"
[ "$(cat $W/victim)" = victim ] || { echo "BREAK victim file overwritten"; fails=$((fails + 1)); }
for odd in "" "relative/dir" "/proc/self" "/dev/null"; do
  out=$(XDG_CACHE_HOME=$odd HOME=$W/home run config get 2>"$W/err"); rc=$?
  [ $rc -eq 0 ] && [ "$out" = "$want" ] || { echo "BREAK XDG_CACHE_HOME='$odd': rc=$rc $(head -c 200 "$W/err")"; fails=$((fails+1)); }
done
echo "cache breaks: $fails"
