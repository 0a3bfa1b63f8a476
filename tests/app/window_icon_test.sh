#!/usr/bin/env bash
# The program's main window carries its icon on X11 (_NET_WM_ICON, what title bars and task
# switchers show): exactly the sizes the build drew from the SVG, each transparent in its corner
# (the rounded tile's margin) and opaque in its middle, so neither a missing nor a blank icon
# passes.
#   window_icon_test.sh TESSUN SIZE...   (exit 77: skipped, when xvfb-run, xdotool or xprop is
#                                         missing)
set -euo pipefail
tessun=$(realpath "$1")
shift
for tool in xvfb-run xdotool xprop; do
  command -v "$tool" >/dev/null || { echo "skipped: no $tool"; exit 77; }
done
if [ -z "${ICON_TEST_UNDER_XVFB:-}" ]; then
  ICON_TEST_UNDER_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$tessun" "$@"
fi

temp=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$temp"' EXIT
export XDG_DATA_HOME=$temp/data QT_QPA_PLATFORM=xcb
"$tessun" --simulate 2>"$temp/stderr" &
window=$(timeout 10 xdotool search --sync --onlyvisible --name "^Tessun Timing Interface Window$" |
  head -n 1) || true
[ -n "$window" ] || { cat "$temp/stderr"; echo "FAIL: no main window"; exit 1; }

# The property as plain numbers: width, height, then width x height ARGB pixels, icon after icon.
xprop -id "$window" -f _NET_WM_ICON 32c ' = $0+\n' _NET_WM_ICON >"$temp/property"
icons=$(awk -F ' = ' 'NF == 2 {
    n = split($2, v, ", ")
    for (i = 1; i + 1 <= n; i += 2 + w * h) {
      w = v[i]; h = v[i + 1]
      if (w <= 0 || h <= 0 || i + 1 + w * h > n) { print "truncated"; exit }
      corner = int(v[i + 2] / 16777216)
      middle = int(v[i + 2 + int(h / 2) * w + int(w / 2)] / 16777216)
      fault = corner == 0 && middle == 255 ? "" : " blank-or-wrong(alpha " corner "/" middle ")"
      print w "x" h fault
    }
  }' "$temp/property" | sort -n | tr '\n' ' ')
expected=$(for size in "$@"; do echo "${size}x${size}"; done | sort -n | tr '\n' ' ')
if [ "$icons" != "$expected" ]; then
  echo "FAIL: _NET_WM_ICON holds [$icons], expected [$expected]"
  head -c 300 "$temp/property"
  exit 1
fi
echo "PASS: window $window: _NET_WM_ICON holds $icons"
