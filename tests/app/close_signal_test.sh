#!/usr/bin/env bash
# The program ended by SIGTERM goes through its close path: it closes the console, says so in
# its log and exits with 0. The console (simulated, offscreen) sends nothing in those 3 s, so the
# run leaves no capture file.
#   close_signal_test.sh PATH-TO-TESSUN
set -u
program=$1
temp=$(mktemp -d)
trap 'rm -rf "$temp"' EXIT
log=$temp/log
export XDG_DATA_HOME=$temp/data
captures=$XDG_DATA_HOME/tessun/captures
# Stored data, which the console sends only on "Get Data".
echo "stored results" >"$temp/stored"
QT_QPA_PLATFORM=offscreen "$program" "--simulate=$temp/stored" 2>"$log" &
pid=$!
# Past the start-up wait and into the event loop.
for _ in $(seq 50); do
  grep -q "in use" "$log" && break
  sleep 0.1
done
sleep 3
kill -TERM "$pid"
wait "$pid"
status=$?
cat "$log"
[ "$status" -eq 0 ] || { echo "exit status $status, expected 0"; exit 1; }
grep -q "ending on signal 15: closing the console" "$log" || { echo "no close on the signal"; exit 1; }
[ -d "$captures" ] || { echo "no capture folder $captures"; exit 1; }
left=$(find "$captures" -name '*.txt')
[ -z "$left" ] || { echo "a run without data left a capture file: $left"; exit 1; }
echo "ended through the close path; no capture file"
