#!/usr/bin/env bash
# The Windows launcher end to end under Wine, in a fresh prefix and on a virtual display:
# kp_launcher.exe started by a Windows test host, with a stand-in application that records its start.
set -uo pipefail
cd "$(dirname "$0")/../.."
win=$(realpath "${KP_WINDOWS_DIR:-build/windows}")
bin=$(realpath "${KP_DEV_DIR:-build/dev}") # kpack runs natively; both builds share the configuration
work=$(mktemp -d "${TMPDIR:-/tmp}/kp-launcher-wine.XXXXXX")
source tests/scenario/common.sh

for program in "$win/kp_launcher.exe" "$win/kp_test_host.exe" "$win/kp_test_app.exe" "$bin/kpack"; do
    [ -e "$program" ] || { echo "missing $program (build it first)"; echo "0 passed, 1 failed"; exit 1; }
done
BUILD=$(build_id "$win")

display=$((100 + RANDOM % 400))
Xvfb ":$display" -screen 0 1024x768x24 >/dev/null 2>&1 &
xvfb=$!
export DISPLAY=:$display
source scripts/wine-env
cleanup() {
    wine_env_cleanup
    kill "$xvfb" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
wine cmd /c exit >/dev/null 2>&1
win_var() { wine cmd /c echo "%$1%" 2>/dev/null | tr -d '\r'; }
INSTALL_WIN="$(win_var LOCALAPPDATA)\\KestrinPadFree"
INSTALL=$(winepath -u "$INSTALL_WIN" 2>/dev/null)
INSTALL=${INSTALL%/}
TEMP_UNIX=$(winepath -u "$(win_var TEMP)" 2>/dev/null)
KP=$WINEPREFIX/drive_c/kp
mkdir -p "$KP"
cp "$win/kp_launcher.exe" "$KP/"
make_material "$win/kp_test_app.exe" "$win/kp_test_host.exe" "$KP/app.enc" "$KP/host_" .exe || exit 1

export KP_APP_RECORD='C:\kp\record.txt'
RECORD=$KP/record.txt

reset_machine() { # STAMP-TEXT
    rm -rf "$INSTALL" "$RECORD"
    mkdir -p "$INSTALL"
    cp "$work/old_app" "$INSTALL/kestrin_pad.exe"
    utf16 "$1" >"$INSTALL/.kp_build"
}
launch() { wine "C:\\kp\\$1" 'C:\kp\kp_launcher.exe' "${@:2}" >/dev/null 2>&1 || fail "launcher exit code $?"; }
launched_once() {
    started_once "$RECORD" "start	argc=1	cwd=$INSTALL_WIN	cmdline=\"$INSTALL_WIN\\kestrin_pad.exe\""
    rm "$RECORD"
}
window_open() { xdotool search --onlyvisible --class kp_launcher >/dev/null 2>&1; }

# Through a plain host and with no Windows parent: no tools come.
up_to_date_run() {
    reset_machine "$BUILD"
    launch host_plain.exe --ignored "arguments"
    launched_once
    cmp -s "$INSTALL/kestrin_pad.exe" "$work/old_app" || fail "reinstalled"
    wine 'C:\kp\kp_launcher.exe' >/dev/null 2>&1 || fail "launcher exit code"
    launched_once
    [ ! -e "$INSTALL/ai" ] || fail "tools from a host without a package"
}

tool_refresh() {
    reset_machine "$BUILD"
    launch host_tools1.exe
    launched_once && tools_current "$INSTALL" "$work/tools1" "$KP/host_tools1.exe"
    (for _ in $(seq 1200); do window_open && echo seen >"$work/window" && break; sleep 0.05; done) &
    local watcher=$!
    launch host_big.exe
    kill "$watcher" 2>/dev/null
    [ -s "$work/window" ] || fail "no progress window was seen"
    tools_current "$INSTALL" "$work/tools_big" "$KP/host_big.exe"
    sleep 0.5
    ! window_open || fail "window left open"
}

# The shell here cannot open a zip: no copy, so no stamp, and the older executable is started.
installation_path() {
    reset_machine "0ld"
    launch host_plain.exe
    launched_once
    [ "$(utf16_text "$INSTALL/.kp_build")" = "0ld" ] || fail "stamp written"
    cmp -s "$INSTALL/kestrin_pad.exe" "$work/old_app" || fail "executable replaced"
    ! ls "$TEMP_UNIX" 2>/dev/null | grep -q '^kp_pkg_tmp_' || fail "temporary archive left"
}

eight_launchers_together() {
    reset_machine "$BUILD"
    eight_launchers "$INSTALL" "$RECORD" "$KP/host_big.exe" wine 'C:\kp\host_big.exe' 'C:\kp\kp_launcher.exe'
}

scenario "up-to-date run: started, arguments not passed on, no tools without a package" up_to_date_run
scenario "tool refresh from the host's package, a new one with the progress window" tool_refresh
scenario "installation path: no zip support, older executable started" installation_path
scenario "eight launchers together: one unpack" eight_launchers_together

report_checks
