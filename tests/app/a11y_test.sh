#!/usr/bin/env bash
# The real program read as a screen reader reads it, over the accessibility bus (AT-SPI).
#   a11y_test.sh TESSUN   (exit 77: skipped, when xvfb-run, dbus-run-session, the AT-SPI bus
#                          launcher or Debian's python3 with pyatspi is missing)
# Under Xvfb, on a session bus of its own (which starts an AT-SPI bus of its own when the program
# asks for it), the program runs on the simulated console with a printout of the test's own;
# a11y_check.py then reads it and presses its buttons through the bus. The offscreen platform of
# the other window tests has no accessibility bridge: Qt's bridge only speaks on X.
set -euo pipefail
tessun=$(realpath "$1")
here=$(dirname "$(realpath "$0")")
# Debian's python3, where python3-pyatspi lives (a python3 earlier on the PATH may lack it).
python=/usr/bin/python3
[ -n "$(command -v xvfb-run)" ] && [ -n "$(command -v dbus-run-session)" ] &&
  [ -x /usr/libexec/at-spi-bus-launcher ] && "$python" -c 'import pyatspi' 2>/dev/null || exit 77
if [ -z "${A11Y_TEST_UNDER_XVFB:-}" ]; then
  A11Y_TEST_UNDER_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24" \
    dbus-run-session -- "$0" "$@"
fi

temp=$(mktemp -d)
pid=
cleanup() {
  [ -z "$pid" ] || kill -9 "$pid" 2>/dev/null || true
  rm -rf "$temp"
}
trap cleanup EXIT
export XDG_DATA_HOME=$temp/data QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
# A printout of 40 result lines after a line feed (line 0, which the view never shows, stays
# empty): the view's text is then the printout without its first byte.
{
  echo
  for i in $(seq 1 40); do printf '%3d   Lane %d   Team %02d   %d:%02d.%02d\n' "$i" $((i % 8 + 1)) \
    $((i % 13)) $((i % 3)) $((i % 60)) $((i % 100)); done
} > "$temp/printout"

"$tessun" "--simulate=$temp/printout" 2>"$temp/stderr" &
pid=$!
status=0
"$python" "$here/a11y_check.py" "$temp/printout" || status=$?
# SIGTERM closes the window and ends the program (unless it hangs: then it is killed).
kill -TERM "$pid"
for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$pid" 2>/dev/null; then
  echo "FAIL: the program did not end on SIGTERM" >&2
  status=1
else
  wait "$pid" || { echo "FAIL: the program ended with status $?" >&2; status=1; }
  pid=
fi
if [ "$status" -ne 0 ]; then
  sed 's/^/tessun: /' "$temp/stderr" >&2
fi
exit "$status"
