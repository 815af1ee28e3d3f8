#!/usr/bin/env bash
# On-screen checks of the progress window under Xvfb: the X11 window of the native build and the
# Windows window of the Windows build under Wine, on the same display. Screenshots are taken with
# ImageMagick while kp_progress_demo shows the bar at 500 and at 1000, and checked from their
# pixels: the frame's place and size in the lower right corner, the label's ink, the bar's fill.
# The window tests of kp_tests that need a display run here too. Ends with "N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/../.."
dev_dir=${KP_DEV_DIR:-build/dev}
windows_dir=${KP_WINDOWS_DIR:-build/windows}

passed=0
failed=0
pass() {
    passed=$((passed + 1))
    echo "PASS $1"
}
fail() {
    failed=$((failed + 1))
    echo "FAIL $1: $2"
}

work=$(mktemp -d "${TMPDIR:-/tmp}/kp-screens.XXXXXX")
xvfb_pids=()
demo_pid=""
wine_ready=0
cleanup() {
    [ -n "$demo_pid" ] && kill "$demo_pid" 2>/dev/null
    [ "$wine_ready" -eq 1 ] && wine_env_cleanup
    for pid in "${xvfb_pids[@]}"; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# fontconfig keeps its configuration for the life of the process; not a leak of ours.
printf 'leak:libfontconfig.so\n' >"$work/lsan.supp"
export LSAN_OPTIONS="suppressions=$work/lsan.supp:print_suppressions=0"

# Starts Xvfb on a free display number; sets display and records the server's pid.
start_xvfb() {
    local n
    for n in $(seq 57 99); do
        [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
        # -noreset keeps root properties when the last client goes.
        Xvfb ":$n" -screen 0 1280x800x24 -br -noreset -nolisten tcp >"$work/xvfb-$n.log" 2>&1 &
        local pid=$!
        xvfb_pids+=("$pid")
        for _ in $(seq 50); do
            if xdpyinfo -display ":$n" >/dev/null 2>&1; then
                display=":$n"
                xvfb_pid=$pid
                return 0
            fi
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
    done
    return 1
}

# Checks a 1280x800 screenshot: frame exactly at 96-dpi geometry in the lower right corner of a
# black screen, label ink, and the bar filled to the expected share.
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
xs = [p[0] for p in lit]; ys = [p[1] for p in lit]
frame = (min(xs), min(ys), max(xs) - min(xs) + 1, max(ys) - min(ys) + 1)
expected = (W - 16 - 460, H - 16 - 120, 460, 120)
if frame != expected:
    sys.exit(f"frame at {frame}, expected {expected}")
fx, fy = frame[0] + 1, frame[1] + 1             # inside the one-pixel border
background = px(fx + 4, fy + 110)
near = lambda a, b: sum(abs(i - j) for i, j in zip(a, b)) < 60
ink = sum(1 for y in range(fy + 18, fy + 58) for x in range(fx + 20, fx + 440) if sum(px(x, y)) < 250)
if ink < 300:
    sys.exit(f"label shows {ink} dark pixels")
bx, by, bw, bh = fx + 20, fy + 72, 420, 18
row = by + bh // 2
fill = px(bx + 3, row)
if near(fill, background):
    sys.exit(f"bar start {fill} looks like the frame background {background}")
filled = [x for x in range(bx + 2, bx + bw - 2) if near(px(x, row), fill)]
share = (filled[-1] - bx + 1) / bw
low, high = (0.45, 0.55) if permille == 500 else (0.97, 1.0)
print(f"frame {frame}, label ink {ink}, fill colour {fill}, filled share {share:.3f}")
if not low <= share <= high:
    sys.exit(f"bar filled to {share:.3f} of its width, expected {low}..{high}")
if permille == 500 and near(px(bx + bw - 4, row), fill):
    sys.exit("the bar's right end has the fill colour")
PY
}

# Runs a demo command in the background and keeps taking screenshots until one passes the check
# or the demo ends; then the demo must end by itself with status 0.
check_demo() {
    local name=$1 permille=$2 shot=$3
    shift 3
    DISPLAY=$display "$@" "$permille" "$demo_seconds" >"$work/$name.out" 2>&1 &
    demo_pid=$!
    local verdict="demo ended before its window passed the check"
    while kill -0 "$demo_pid" 2>/dev/null; do
        sleep 0.5
        DISPLAY=$display import -window root "$shot" 2>/dev/null || continue
        if verdict=$(check_shot "$shot" "$permille" 2>&1); then
            break
        fi
    done
    wait "$demo_pid"
    local status=$?
    demo_pid=""
    if ! check_shot "$shot" "$permille" >/dev/null 2>&1; then
        fail "$name" "$verdict"
    elif [ "$status" -ne 0 ]; then
        fail "$name" "demo exited with $status: $(tail -3 "$work/$name.out")"
    else
        pass "$name ($verdict)"
    fi
}

keep_shot() {
    [ -n "${KP_TEST_LOG_DIR:-}" ] && [ -f "$1" ] && cp "$1" "$KP_TEST_LOG_DIR/$2"
}

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
    echo "$passed passed, $failed failed"
    exit 1
fi
echo "display $display"

# ---- X11 window of the native build.
if cmake --build "$dev_dir" --target kp_progress_demo kp_tests >"$work/build-dev.log" 2>&1; then
    demo_seconds=6
    check_demo x11-500 500 "$work/x11-500.png" "$dev_dir/kp_progress_demo"
    keep_shot "$work/x11-500.png" progress_window_x11.png
    check_demo x11-1000 1000 "$work/x11-1000.png" "$dev_dir/kp_progress_demo"
    check_gtest x11-window-tests env DISPLAY="$display" "$dev_dir/kp_tests" \
        --gtest_filter='ProgressWindowOnScreen.*:ProgressGeometry.*:WithoutDisplay.*'

    # A display that goes away while the window is up must not end the program.
    main_display=$display
    if start_xvfb; then
        lost_display=$display
        lost_pid=$xvfb_pid
        display=$main_display
        DISPLAY=$lost_display "$dev_dir/kp_progress_demo" 500 3 >"$work/lost.out" 2>&1 &
        demo_pid=$!
        sleep 1
        kill "$lost_pid"
        wait "$demo_pid"
        status=$?
        demo_pid=""
        if [ $status -eq 0 ] && [ ! -s "$work/lost.out" ]; then
            pass "x11-display-lost (demo finished silently with status 0)"
        else
            fail "x11-display-lost" "status $status: $(head -3 "$work/lost.out")"
        fi
    else
        fail "x11-display-lost" "no second display"
    fi
    display=$main_display
else
    tail -20 "$work/build-dev.log"
    fail "build $dev_dir" "kp_progress_demo or kp_tests did not build"
fi

# ---- Windows window under Wine: no window manager, so the work area is the screen.
if cmake --build "$windows_dir" --target kp_progress_demo kp_tests >"$work/build-windows.log" 2>&1; then
    source scripts/wine-env
    wine_ready=1
    DISPLAY=$display wineboot -i >/dev/null 2>&1
    demo_seconds=12
    check_demo wine-500 500 "$work/wine-500.png" wine "$windows_dir/kp_progress_demo.exe"
    keep_shot "$work/wine-500.png" progress_window_wine.png
    check_demo wine-1000 1000 "$work/wine-1000.png" wine "$windows_dir/kp_progress_demo.exe"
    check_gtest wine-window-tests env DISPLAY="$display" wine "$windows_dir/kp_tests.exe" \
        --gtest_filter='ProgressWindowOnScreen.*:ProgressGeometry.*'
else
    tail -20 "$work/build-windows.log"
    fail "build $windows_dir" "kp_progress_demo.exe or kp_tests.exe did not build"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
