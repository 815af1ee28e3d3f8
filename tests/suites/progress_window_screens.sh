#!/usr/bin/env bash
# The progress window on screen under Xvfb: the X11 window of the native build, then the Windows
# window under Wine on the same display. Screenshots of kp_progress_demo at 500 and at 1000 are
# checked from their pixels; the window tests of kp_tests run there too. Ends with "N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
dev_dir=${KP_DEV_DIR:-build/dev}
windows_dir=${KP_WINDOWS_DIR:-build/windows}
passed=0 failed=0 demo_pid="" wine_ready=0 xvfb_pids=()
pass() { passed=$((passed + 1)) && echo "PASS $1"; }
fail() { failed=$((failed + 1)) && echo "FAIL $1: $2"; }

work=$(mktemp -d "${TMPDIR:-/tmp}/kp-screens.XXXXXX")
cleanup() {
    [ -n "$demo_pid" ] && kill "$demo_pid" 2>/dev/null
    [ "$wine_ready" -eq 1 ] && wine_env_cleanup
    for pid in "${xvfb_pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# fontconfig keeps its configuration for the life of the process; not a leak of ours.
printf 'leak:libfontconfig.so\n' >"$work/lsan.supp"
export LSAN_OPTIONS="suppressions=$work/lsan.supp:print_suppressions=0"

# Starts Xvfb on a free display number and sets display and xvfb_pid. -noreset keeps root
# properties when the last client goes.
start_xvfb() {
    local n
    for n in $(seq 57 99); do
        [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
        Xvfb ":$n" -screen 0 1280x800x24 -br -noreset -nolisten tcp >"$work/xvfb-$n.log" 2>&1 &
        xvfb_pid=$! && xvfb_pids+=("$xvfb_pid")
        for _ in $(seq 50); do
            xdpyinfo -display ":$n" >/dev/null 2>&1 && display=":$n" && return 0
            kill -0 "$xvfb_pid" 2>/dev/null || break
            sleep 0.1
        done
    done
    return 1
}

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

# show NAME PERMILLE SHOT SECONDS COMMAND...: starts the demo (left in demo_pid) and screenshots
# until one passes check_shot (status 0) or the demo ends (status 1); sets verdict.
show() {
    local name=$1 permille=$2 shot=$3 seconds=$4
    shift 4
    DISPLAY=$display "$@" "$permille" "$seconds" >"$work/$name.out" 2>&1 &
    demo_pid=$! verdict="demo ended before its window passed the check"
    while kill -0 "$demo_pid" 2>/dev/null; do
        sleep 0.5
        DISPLAY=$display import -window root "$shot" 2>/dev/null || continue
        verdict=$(check_shot "$shot" "$permille" 2>&1) && return 0
    done
    return 1
}

# finish NAME SEEN [quiet]: the demo was seen (1) and ends by itself with status 0, silently if asked.
finish() {
    wait "$demo_pid"
    local status=$?
    demo_pid=""
    if [ "$2" -ne 1 ]; then
        fail "$1" "$verdict"
    elif [ $status -ne 0 ] || { [ -n "${3:-}" ] && [ -s "$work/$1.out" ]; }; then
        fail "$1" "demo exited with $status: $(head -3 "$work/$1.out")"
    else
        pass "$1 ($verdict)"
    fi
}

# check_demo NAME PERMILLE SHOT SECONDS COMMAND...
check_demo() { show "$@"; finish "$1" $(($? == 0)); }
keep_shot() { [ -n "${KP_TEST_LOG_DIR:-}" ] && [ -f "$1" ] && cp "$1" "$KP_TEST_LOG_DIR/$2"; }

# One gtest run counts as one check; on a display, none of its tests may skip.
check_gtest() {
    local name=$1 log=$work/$1.log
    shift
    "$@" >"$log" 2>&1
    local status=$?
    if [ $status -eq 0 ] && grep -qE '^\[  PASSED  \]' "$log" && ! grep -q '^\[  SKIPPED \]' "$log"; then
        pass "$name ($(grep -E '^\[  PASSED  \]' "$log"))"
    else
        grep -E 'Failure|^\[  FAILED|SKIPPED|ERROR' -A3 "$log" | head -30
        fail "$name" "status $status"
    fi
}

if ! start_xvfb; then
    fail "Xvfb" "no display could be started"
    echo "$passed passed, $failed failed" && exit 1
fi
main_display=$display

if cmake --build "$dev_dir" --target kp_progress_demo kp_tests >"$work/build-dev.log" 2>&1; then
    check_demo x11-500 500 "$work/x11-500.png" 6 "$dev_dir/kp_progress_demo"
    keep_shot "$work/x11-500.png" progress_window_x11.png
    check_demo x11-1000 1000 "$work/x11-1000.png" 6 "$dev_dir/kp_progress_demo"
    # No font that Xft can open: the label comes in the server's own fallback font.
    printf '<?xml version="1.0"?>\n<fontconfig><cachedir>%s</cachedir></fontconfig>\n' "$work/fc" >"$work/no-fonts.conf"
    check_demo x11-fallback-font 500 "$work/fallback.png" 6 env FONTCONFIG_FILE="$work/no-fonts.conf" \
        "$dev_dir/kp_progress_demo"
    check_gtest x11-window-tests env DISPLAY="$display" "$dev_dir/kp_tests" \
        --gtest_filter='ProgressWindowOnScreen.*:ProgressGeometry.*:WithoutDisplay.*'
    # A display that goes away while the window is up must not end the program, nor make it talk.
    if start_xvfb; then
        seen=0
        show x11-display-lost 500 "$work/lost.png" 6 "$dev_dir/kp_progress_demo" && seen=1 && kill "$xvfb_pid"
        finish x11-display-lost $seen quiet
    else
        fail "x11-display-lost" "no second display"
    fi
    display=$main_display
else
    tail -20 "$work/build-dev.log"
    fail "build $dev_dir" "kp_progress_demo or kp_tests did not build"
fi

# Under Wine there is no window manager, so the work area is the screen.
if cmake --build "$windows_dir" --target kp_progress_demo kp_tests >"$work/build-windows.log" 2>&1; then
    source scripts/wine-env
    wine_ready=1
    DISPLAY=$display wineboot -i >/dev/null 2>&1
    check_demo wine-500 500 "$work/wine-500.png" 12 wine "$windows_dir/kp_progress_demo.exe"
    keep_shot "$work/wine-500.png" progress_window_wine.png
    check_demo wine-1000 1000 "$work/wine-1000.png" 12 wine "$windows_dir/kp_progress_demo.exe"
    check_gtest wine-window-tests env DISPLAY="$display" wine "$windows_dir/kp_tests.exe" \
        --gtest_filter='ProgressWindowOnScreen.*:ProgressGeometry.*'
else
    tail -20 "$work/build-windows.log"
    fail "build $windows_dir" "kp_progress_demo.exe or kp_tests.exe did not build"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
