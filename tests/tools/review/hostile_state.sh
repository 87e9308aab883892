#!/bin/bash
# The simulated camera's state file and its lock under hostile set-ups and
# two tools at once. Usage: hostile_state.sh TOOL
T=${1:?tool}
W=$(mktemp -d /tmp/morvane-state-XXXXXX)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$W"' EXIT
export XDG_CACHE_HOME=$W/cache XDG_STATE_HOME=$W/state
S=$W/s.flash
fails=0
bad() { echo "BREAK $*"; fails=$((fails + 1)); }
timeout 10 "$T" --simulate="$S" config get >/dev/null || bad "first run"
size=$(stat -c %s "$S")
# Hostile objects at the state path and the lock path: a clear error, no
# hang, nothing written through a link.
for what in state lock; do
  for kind in symlink fifo dir; do
    rm -rf "$W/t"; mkdir "$W/t"; cp "$S" "$W/t/s.flash"; P=$W/t/s.flash; [ $what = lock ] && P=$W/t/s.flash.lock
    echo victim > "$W/t/victim"
    if [ $what = state ]; then rm -f "$P"; fi
    case $kind in symlink) ln -s "$W/t/victim" "$P" ;; fifo) mkfifo "$P" ;; dir) mkdir "$P" ;; esac
    echo '{"a":1}' >"$W/doc.json"
    timeout 10 "$T" --simulate="$W/t/s.flash" config set "$W/doc.json" >/dev/null 2>"$W/err"; rc=$?
    [ $rc -eq 124 ] && bad "$what $kind: hang"
    [ "$(cat "$W/t/victim")" = victim ] || bad "$what $kind: victim overwritten"
    echo "held? $what $kind: rc=$rc $(head -c 120 "$W/err" | tr '\n' ' ')"
  done
done
for len in 0 100 $((size - 1)) $((size + 1)); do
  cp "$S" "$W/tr.flash"; truncate -s $len "$W/tr.flash"
  timeout 10 "$T" --simulate="$W/tr.flash" config get >/dev/null 2>"$W/err"; rc=$?
  [ $rc -eq 0 ] && bad "state of $len bytes accepted"
  echo "held? state of $len bytes: rc=$rc $(head -c 120 "$W/err")"
done
# A run that only reads writes nothing.
before=$(stat -c '%Y.%y %i' "$S"); sleep 1
timeout 10 "$T" --simulate="$S" config get >/dev/null
[ "$(stat -c '%Y.%y %i' "$S")" = "$before" ] || bad "a read-only run rewrote the state file"
# Thirty rounds of two simultaneous reads and a write with a read.
for i in $(seq 30); do
  timeout 20 "$T" --simulate="$S" config get >/dev/null 2>"$W/e1" & a=$!
  echo "{\"round\":$i}" >"$W/r$i.json"
  timeout 20 "$T" --simulate="$S" config set "$W/r$i.json" >/dev/null 2>"$W/e2" & b=$!
  timeout 20 "$T" --simulate="$S" config get >/dev/null 2>"$W/e3" & c=$!
  wait $a; ra=$?; wait $b; rb=$?; wait $c; rc=$?
  [ $ra$rb$rc = 000 ] || bad "round $i: exits $ra $rb $rc: $(cat "$W/e1" "$W/e2" "$W/e3" | head -c 200)"
  got=$(timeout 10 "$T" --simulate="$S" config get)
  [ "$got" = "{\"round\":$i}" ] || bad "round $i: document $got"
done
echo "held? 30 rounds of concurrent runs"
# The prompt case: a run waits at its firmware-burn prompt while a second
# one stores a document; once the first says no, the second's document must
# be there.
timeout 10 "$T" --simulate="$S" firmware export "$W/fw.bin" >/dev/null 2>&1 || bad "firmware export"
echo '{"meanwhile":1}' >"$W/meanwhile.json"
mkfifo "$W/answer"
( timeout 30 "$T" --simulate="$S" firmware burn "$W/fw.bin" <"$W/answer" >/dev/null 2>"$W/p1"; echo $? >"$W/p1rc" ) &
exec 7>"$W/answer"; sleep 2
( timeout 30 "$T" --simulate="$S" config set "$W/meanwhile.json" >/dev/null 2>"$W/p2"; echo $? >"$W/p2rc" ) &
sleep 2; echo n >&7; exec 7>&-; wait
got=$(timeout 10 "$T" --simulate="$S" config get)
[ "$got" = '{"meanwhile":1}' ] || bad "prompt case: document $got (exits $(cat $W/p1rc) $(cat $W/p2rc))"
echo "held? prompt case: exits $(cat $W/p1rc) $(cat $W/p2rc); $(tr '\n' ' ' <"$W/p2")"
# A stop signal while waiting for another run: ends at once, nothing left held.
mkfifo "$W/answer2"
( timeout 30 "$T" --simulate="$S" firmware burn "$W/fw.bin" <"$W/answer2" >/dev/null 2>&1 ) &
exec 8>"$W/answer2"; sleep 2
timeout 30 "$T" --simulate="$S" config get >/dev/null 2>"$W/w" & w=$!
sleep 1; kill -INT $w; t0=$(date +%s%N); wait $w; wrc=$?; t1=$(date +%s%N)
echo n >&8; exec 8>&-; wait
echo "held? SIGINT while waiting: exit $wrc after $(( (t1 - t0) / 1000000 )) ms; $(head -c 150 "$W/w" | tr '\n' ' ')"
timeout 10 "$T" --simulate="$S" config get >/dev/null || bad "after SIGINT the state is unusable"
# A run killed while holding the lock (at its prompt): the next run proceeds.
mkfifo "$W/answer3"
timeout 30 "$T" --simulate="$S" firmware burn "$W/fw.bin" <"$W/answer3" >/dev/null 2>&1 & k=$!
exec 9>"$W/answer3"; sleep 2; kill -KILL $k; exec 9>&-; wait $k 2>/dev/null
timeout 10 "$T" --simulate="$S" config get >/dev/null 2>&1 || bad "after a killed holder"
echo "state breaks: $fails"
