#!/usr/bin/env bash
# The progress window on screen under Xvfb: the X11 window of the native build, then the Windows
# window under Wine on the same display. Screenshots of kp_progress_demo at 500 and at 1000 are
# checked from their pixels; the window tests of kp_tests run there too. Ends with "N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
dev_dir=${KP_DEV_DIR:-build/dev}
windows_dir=${KP_WINDOWS_DIR:-build/windows}
work=$(mktemp -d "${TMPDIR:-/tmp}/kp-screens.XXXXXX")
source tests/scenario/common.sh
source tests/scenario/wine_machine.sh
trap 'stop_wine_machine; rm -rf "$work"' EXIT
trap 'exit 1' INT TERM HUP

# fontconfig keeps its configuration for the life of the process; not a leak of ours.
printf 'leak:libfontconfig.so\n' >"$work/lsan.supp"
export LSAN_OPTIONS="suppressions=$work/lsan.supp:print_suppressions=0"

# A 1280x800 screenshot SHOT shows the frame at its 96-dpi place and size in the lower right corner
# of the black screen, ink in the label, and the bar filled to the share PERMILLE asks for.
check_shot() {
    python3 - "$1" "$2" <<'PY'
import subprocess, sys
shot, permille = sys.argv[1], int(sys.argv[2])
W, H = 1280, 800
raw = subprocess.run(["convert", shot, "-depth", "8", "rgb:-"], capture_output=True, check=True).stdout
if len(raw) != W * H * 3:
    sys.exit(f"screenshot is not {W}x{H}")
px = lambda x, y: tuple(raw[(y * W + x) * 3:(y * W + x) * 3 + 3])
lit = [(x, y) for y in range(H) for x in range(W) if sum(px(x, y)) > 30]
if not lit:
    sys.exit("no window on screen")
xs, ys = [p[0] for p in lit], [p[1] for p in lit]
frame = (min(xs), min(ys), max(xs) - min(xs) + 1, max(ys) - min(ys) + 1)
if frame != (W - 16 - 460, H - 16 - 120, 460, 120):
    sys.exit(f"frame at {frame}")
fx, fy = frame[0] + 1, frame[1] + 1  # inside the one-pixel border
near = lambda a, b: sum(abs(i - j) for i, j in zip(a, b)) < 60
ink = sum(1 for y in range(fy + 18, fy + 58) for x in range(fx + 20, fx + 440) if sum(px(x, y)) < 250)
if ink < 300:
    sys.exit(f"label shows {ink} dark pixels")
bx, row, bw = fx + 20, fy + 72 + 9, 420
fill = px(bx + 3, row)
if near(fill, px(fx + 4, fy + 110)):
    sys.exit(f"bar start {fill} looks like the frame background")
share = ([x for x in range(bx + 2, bx + bw - 2) if near(px(x, row), fill)][-1] - bx + 1) / bw
print(f"frame {frame}, label ink {ink}, filled share {share:.3f}")
if not ((0.45 <= share <= 0.55) if permille == 500 else share >= 0.97):
    sys.exit(f"bar filled to {share:.3f} of its width at {permille}")
PY
}

# shows NAME PERMILLE SECONDS COMMAND...: the demo COMMAND PERMILLE SECONDS shows a window whose
# screenshot (the last one in $work/NAME.png) passes check_shot, then $SEEN runs; the demo ends by
# itself with status 0 (and, with $QUIET set, without a word).
shows() {
    local shot=$work/$1.png permille=$2 seen=0
    "${@:4}" "$permille" "$3" >"$work/demo.out" 2>&1 &
    local demo=$!
    while [ $seen -eq 0 ] && kill -0 "$demo" 2>/dev/null; do
        sleep 0.5
        import -window root "$shot" 2>/dev/null && check_shot "$shot" "$permille" && seen=1
    done
    [ $seen -eq 0 ] || eval "${SEEN:-}"
    wait "$demo" || fail "demo exited with $?: $(head -3 "$work/demo.out")"
    [ $seen -eq 1 ] || fail "demo ended before its window passed the check"
    [ -z "${QUIET:-}" ] || [ ! -s "$work/demo.out" ] || fail "demo said: $(head -3 "$work/demo.out")"
}
# A gtest run that passes, none of its tests skipped on a display.
gtest_unskipped() {
    "$@" >"$work/gtest.log" 2>&1
    local status=$?
    grep -E 'Failure|^\[  FAILED|SKIPPED|ERROR|^\[  PASSED' -A3 "$work/gtest.log" | head -30
    [ $status -eq 0 ] && grep -qE '^\[  PASSED  \] [1-9]' "$work/gtest.log" && ! grep -q '^\[  SKIPPED \]' "$work/gtest.log"
}

start_xvfb || { echo "no display could be started"; echo "0 passed, 1 failed"; exit 1; }

if check "the native demo and kp_tests build" cmake --build "$dev_dir" --target kp_progress_demo kp_tests; then
    scenario x11-500 shows progress_window_x11 500 6 "$dev_dir/kp_progress_demo"
    scenario x11-1000 shows x11-1000 1000 6 "$dev_dir/kp_progress_demo"
    # No font that Xft can open: the label comes in the server's own fallback font.
    printf '<?xml version="1.0"?>\n<fontconfig><cachedir>%s</cachedir></fontconfig>\n' "$work/fc" >"$work/no-fonts.conf"
    scenario x11-fallback-font shows fallback 500 6 env FONTCONFIG_FILE="$work/no-fonts.conf" "$dev_dir/kp_progress_demo"
    check x11-window-tests gtest_unskipped "$dev_dir/kp_tests" \
        --gtest_filter='ProgressWindowOnScreen.*:ProgressGeometry.*:WithoutDisplay.*'
    # A display that goes away while the window is up must not end the program, nor make it talk.
    display_lost() {
        start_xvfb || fail "no second display"
        trap 'kill ${xvfbs[-1]} 2>/dev/null' EXIT
        SEEN='kill ${xvfbs[-1]}' QUIET=1 shows lost 500 6 "$dev_dir/kp_progress_demo"
    }
    scenario x11-display-lost display_lost
fi

# Under Wine there is no window manager, so the work area is the screen.
if check "the Windows demo and kp_tests.exe build" cmake --build "$windows_dir" --target kp_progress_demo kp_tests; then
    boot_wine
    scenario wine-500 shows progress_window_wine 500 12 wine "$windows_dir/kp_progress_demo.exe"
    scenario wine-1000 shows wine-1000 1000 12 wine "$windows_dir/kp_progress_demo.exe"
    check wine-window-tests gtest_unskipped wine "$windows_dir/kp_tests.exe" \
        --gtest_filter='ProgressWindowOnScreen.*:ProgressGeometry.*'
fi

[ -z "${KP_TEST_LOG_DIR:-}" ] || cp "$work"/progress_window_*.png "$KP_TEST_LOG_DIR/" 2>/dev/null
report_checks
