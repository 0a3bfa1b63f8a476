#!/usr/bin/env bash
# The real program under Xvfb: "Get Data", SIGKILL in the middle of the transfer, start again.
#   capture_kill_test.sh TESSUN   (exit 77: skipped, when xvfb-run or xdotool is missing)
# The capture must be a prefix of the console's data made of whole reports; the next start asks
# the restore question, and Yes puts the same bytes into the new run's capture. (No, and what
# "Write File" writes after Yes: tests/app/capture_test.cpp.)
set -euo pipefail
tessun=$(realpath "$1")
command -v xdotool >/dev/null && command -v xvfb-run >/dev/null || exit 77
if [ -z "${KILL_TEST_UNDER_XVFB:-}" ]; then
  KILL_TEST_UNDER_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

temp=$(mktemp -d)
trap 'kill -9 $(jobs -p) 2>/dev/null || true; rm -rf "$temp"' EXIT
export XDG_DATA_HOME=$temp/data QT_QPA_PLATFORM=xcb
captures=$XDG_DATA_HOME/tessun/captures
for i in $(seq 1 3000); do printf '%5d  LANE %d  %d:%02d.%03d\n' "$i" $((i % 8 + 1)) $((i % 7)) $((i % 60)) $((i % 1000)); done > "$temp/printout"

fail() { echo "FAIL: $*" >&2; exit 1; }
start() {
  "$tessun" "--simulate=$temp/printout" 2>>"$temp/stderr" &
  pid=$!
  window=$(timeout 10 xdotool search --sync --onlyvisible --name "^Tessun Timing Interface Window$" | head -1)
}
question() { timeout "$1" xdotool search --sync --onlyvisible --name "^TessunUSBPrinter$" | head -1; }
click() { xdotool mousemove --window "$window" "$1" "$2" click 1; }  # inside the main window
exit_program() { click 616 516; wait "$pid" || fail "Exit: status $?"; }
newest() { ls -t "$captures"/2*.txt | head -1; }

start
[ -z "$(question 1 || true)" ] || fail "a question on the first start"
click 60 516  # Get Data
for _ in $(seq 1 100); do
  [ "$(stat -c %s "$(newest)")" -ge 4000 ] && break
  sleep 0.1
done
kill -9 "$pid"
wait "$pid" 2>/dev/null || true
killed=$(newest)
size=$(stat -c %s "$killed")
total=$(stat -c %s "$temp/printout")
[ "$size" -ge 4000 ] && [ "$size" -lt "$total" ] || fail "captured $size of $total bytes"
cmp -s -n "$size" "$killed" "$temp/printout" || fail "the capture is not a prefix of the data"
[ $((size % 7)) -eq 0 ] || fail "a torn report: $size bytes"

start
box=$(question 10) || fail "no restore question"
xdotool windowfocus --sync "$box" key Return  # Yes, the default
for _ in $(seq 1 50); do cmp -s "$killed" "$(newest)" && break; sleep 0.1; done
cmp -s "$killed" "$(newest)" || fail "Yes did not restore the bytes into the new capture"
exit_program
[ "$(grep -c tessun.capture "$temp/stderr" || true)" -eq 0 ] || fail "capture failures logged"
echo "PASS: killed after $size bytes"
