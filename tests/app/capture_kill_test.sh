#!/usr/bin/env bash
# The real program under Xvfb: "Get Data", SIGKILL in the middle of the transfer, start again.
#   capture_kill_test.sh TESSUN   (exit 77: skipped, when xvfb-run or xdotool is missing)
# The capture must hold what the program took from the console: the console's data in whole
# reports, in order. The next start (past the lock the killed program left) asks the restore
# question; a SIGINT while it is open ends the program and the start after asks again, and Yes
# puts the same bytes into the new run's capture. While that run goes on, a second start says
# that the program runs and ends with 3 without touching the folder, --diagnose names the running
# program, and a SIGTERM while the overwrite question is open leaves the file alone. Last, a
# capture of 256 MiB: the program never holds it in memory, and the window comes at most 2 s later
# than with a small one. (No, and what "Write File" writes after Yes: tests/app/capture_test.cpp.)
#
# The simulated console sends a report every 3 ms in real time, and its driver queue keeps 200
# (0.6 s); a tick takes at most 40. On a loaded machine the window's thread can fall behind for
# longer than that: the queue then drops the oldest reports, as a real driver does, and the
# program logs "N input reports lost (M with data, ...)". So reports may be missing from the
# capture, but only as many as the program logged with data; without a loss the capture is
# exactly a prefix of the data.
set -euo pipefail
tessun=$(realpath "$1")
[ -n "$(command -v xdotool)" ] && [ -n "$(command -v xvfb-run)" ] || exit 77
if [ -z "${KILL_TEST_UNDER_XVFB:-}" ]; then
  KILL_TEST_UNDER_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

temp=$(mktemp -d)
trap 'kill -9 $(jobs -p) 2>"$temp/kill" || true; rm -rf "$temp"' EXIT
export XDG_DATA_HOME=$temp/data QT_QPA_PLATFORM=xcb
captures=$XDG_DATA_HOME/tessun/captures
for i in $(seq 1 3000); do printf '%5d  LANE %d  %d:%02d.%03d\n' "$i" $((i % 8 + 1)) $((i % 7)) $((i % 60)) $((i % 1000)); done > "$temp/printout"
mkdir "$temp/out" && cd "$temp/out"  # where the save window opens
echo "old results" > TessunData.txt

run=0
fail() {
  echo "FAIL: $*" >&2
  for log in "$temp"/stderr.*; do sed "s|^|${log##*/}: |" "$log" >&2; done
  exit 1
}
# Generous limits: a loaded machine starts the program and draws its windows slowly.
start() {
  began=$(date +%s%N)
  run=$((run + 1))
  "$tessun" "--simulate=$temp/printout" 2>"$temp/stderr.$run" &
  pid=$!
  window=$(timeout 60 xdotool search --sync --onlyvisible \
    --name "^Tessun Timing Interface Window$" | head -1)
  [ -n "$window" ] || fail "no main window (start $run)"
  took=$((($(date +%s%N) - began) / 1000000))
}
question() {
  timeout "$1" xdotool search --sync --onlyvisible --name "^TessunUSBPrinter$" | head -1
}
answer() { xdotool windowfocus --sync "$1" key Return; }  # the default button
click() { xdotool mousemove --window "$window" "$1" "$2" click 1; }  # inside the main window
exit_program() { click 616 516; wait "$pid" || fail "Exit: status $?"; }
signal() { kill "-$1" "$pid"; wait "$pid" || fail "ended by SIG$1: status $?"; }
# The capture file begun last, by its name (a copy keeps the time of its last byte received).
newest() { ls "$captures"/2*.txt 2>/dev/null | tail -1; }
folder_sums() { (cd "$captures" && ls -l && md5sum state ./*.txt); }
# One line per report: the hexadecimal bytes of each 7 bytes of the file.
reports() { od -An -v -tx1 -w7 "$1"; }

start
[ -z "$(question 1 || true)" ] || fail "a question on the first start"
click 60 516  # Get Data
for _ in $(seq 1 600); do
  [ "$(stat -c %s "$(newest)" 2>/dev/null)" -ge 4000 ] 2>/dev/null && break
  sleep 0.1
done
kill -9 "$pid"
wait "$pid" 2>>"$temp/kill" || true
killed=$(newest)
size=$(stat -c %s "$killed")
total=$(stat -c %s "$temp/printout")
[ "$size" -ge 4000 ] && [ "$size" -lt "$total" ] || fail "captured $size of $total bytes"
[ $((size % 7)) -eq 0 ] || fail "a torn report: $size bytes"
lost=$(sed -n 's/.*: [0-9]* input reports lost (\([0-9]*\) with data.*/\1/p' "$temp/stderr.1" |
  awk '{ n += $1 } END { print n + 0 }')
# Each report of the capture matched to the data's next equal report: the reports passed over
# were lost (at most as many as really were).
missing=$(awk 'NR == FNR { data[NR] = $0; n = NR; next }
  {
    while (++i <= n && data[i] != $0) skipped++
    if (i > n) { unmatched = 1; exit }
  }
  END { print unmatched ? "unmatched" : skipped + 0 }' \
  <(reports "$temp/printout") <(reports "$killed"))
[ "$missing" != unmatched ] || fail "the capture holds a report that is not the data's next ones"
[ "$missing" -le "$lost" ] ||
  fail "$missing reports of the data are missing from the capture; the program logged $lost lost"

start
question 60 >/dev/null || fail "no restore question"
signal INT
start
box=$(question 60) || fail "no restore question after a SIGINT while it was asked"
answer "$box"
for _ in $(seq 1 300); do cmp -s "$killed" "$(newest)" && break; sleep 0.1; done
cmp -s "$killed" "$(newest)" || fail "Yes did not restore the bytes into the new capture"
small_capture_took=$took

before=$(folder_sums)
"$tessun" "--simulate=$temp/printout" 2>"$temp/second" &
second=$!
box=$(question 60) || fail "a second start did not say that the program runs"
grep -q "already running (process $pid)" "$temp/second" ||
  fail "no line on stderr: $(cat "$temp/second")"
answer "$box"
status=0
wait "$second" || status=$?
[ "$status" -eq 3 ] || fail "a second start ended with $status"
[ "$(folder_sums)" = "$before" ] || fail "a second start changed the capture folder"
"$tessun" --simulate --diagnose | grep -q "is running (process $pid)" || fail "--diagnose"

click 432 516  # Write File
form6=$(timeout 60 xdotool search --sync --onlyvisible --name "^Write File$" | head -1)
xdotool mousemove --window "$form6" 102 296 click 1  # Write
question 60 >/dev/null || fail "no overwrite question"
signal TERM
[ "$(cat TessunData.txt)" = "old results" ] || fail "a SIGTERM while asked replaced the file"

printf 'tessun capture state 1\nfile 2026-01-01_00-00-00.txt\nwritten 0\ncleared 0\n' \
  >"$captures/state"
truncate -s 256M "$captures/2026-01-01_00-00-00.txt"
start
peak=$(awk '/VmHWM/ { print $2 }' "/proc/$pid/status")
[ "$peak" -lt $((200 * 1024)) ] || fail "$peak KiB in memory with a 256 MiB capture"
[ "$took" -lt $((small_capture_took + 2000)) ] ||
  fail "the window took $took ms with a 256 MiB capture, $small_capture_took ms with a small one"
box=$(question 60) || fail "no restore question for the 256 MiB capture"
answer "$box"
exit_program
[ "$(cat "$temp"/stderr.* | grep -c tessun.capture || true)" -eq 0 ] ||
  fail "capture failures logged"
echo "PASS: killed after $size bytes ($missing reports lost on the way, $lost logged);" \
  "the window took $took ms and $peak KiB with a 256 MiB capture"
