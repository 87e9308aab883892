#!/bin/bash
# Kept calibration copies are ordered by wall-clock time in their names. A
# clock stepped back (NTP correction, a board without RTC) makes the newest
# copy sort first; a burn over a camera whose calibration is gone then writes
# back an older document. Usage: clock_step.sh TOOL
T=${1:?tool}
H=$(dirname "$0")
W=$(mktemp -d /tmp/morvane-clock-XXXXXX)
trap 'rm -rf "$W"' EXIT
cc -shared -fPIC -o "$W/shim.so" "$H/realtime_offset.c" -ldl || exit 1
export XDG_CACHE_HOME=$W/cache XDG_STATE_HOME=$W/state
S=$W/s.flash
run() { timeout 20 "$T" --simulate="$S" "$@"; }
run firmware export "$W/fw.bin" >/dev/null 2>&1
echo '{"doc":"B"}' >"$W/b.json"; echo '{"doc":"C"}' >"$W/c.json"
run config set "$W/b.json" 2>&1 | grep kept          # keeps the factory document
REALTIME_OFFSET_S=-86400 LD_PRELOAD=$W/shim.so run config set "$W/c.json" 2>&1 | grep kept  # keeps B, a day "earlier"
ls "$XDG_STATE_HOME/morvane-uvc-stereo"
# The calibration is then lost (an erase cut short): magic bytes gone.
printf '\xff\xff\xff\xff' | dd of="$S" bs=1 seek=$((0x51000)) conv=notrunc status=none
run firmware burn --yes "$W/fw.bin" 2>&1 | grep -E "holds no|written back"
got=$(run config get)
echo "after the burn: $got"
[ "$got" = '{"doc":"B"}' ] && echo "held: the last kept document came back" || echo "BREAK: the burn wrote back an older kept document, not {\"doc\":\"B\"}"
