#!/usr/bin/env bash
# The program ended by SIGTERM goes through its close path: it closes the console, says so in
# its log and exits with 0 (the simulated console, offscreen).
#   close_signal_test.sh PATH-TO-TESSUN
set -u
program=$1
log=$(mktemp)
trap 'rm -f "$log"' EXIT
QT_QPA_PLATFORM=offscreen "$program" --simulate 2>"$log" &
pid=$!
# Past the start-up wait and into the event loop.
for _ in $(seq 50); do
  grep -q "in use" "$log" && break
  sleep 0.1
done
sleep 0.3
kill -TERM "$pid"
wait "$pid"
status=$?
cat "$log"
[ "$status" -eq 0 ] || { echo "exit status $status, expected 0"; exit 1; }
grep -q "ending on signal 15: closing the console" "$log" || { echo "no close on the signal"; exit 1; }
echo "ended through the close path"
