#!/usr/bin/env bash
# No DLL from the launcher's folder, under Wine. Marker DLLs (kp_dll_marker.dll, which leaves
# NAME.ran beside itself when its code runs) lie beside kp_launcher.exe under the names of system
# DLLs that Windows does not always take from System32, and WINEDLLOVERRIDES prefers such a
# native DLL to Wine's own, as Windows prefers a DLL found in the program's folder. The launcher
# installs the application, starts it and unpacks a tool package under its window on a virtual
# screen: no marker may run. A control first loads every marker by its bare name from that
# folder, so a marker that does not run is known to be one that was not loaded.
#
# version.dll is left out: Wine's own user32 imports it, so under Wine it loads before any code
# of the program's could restrict the search (Windows' user32 does not import it).
set -uo pipefail
cd "$(dirname "$0")/../.."
win=$(realpath "${KP_WINDOWS_DIR:-build/windows}")
bin=$(realpath "${KP_DEV_DIR:-build/dev}") # kpack runs natively; both builds share the configuration
work=$(mktemp -d "${TMPDIR:-/tmp}/kp-dll-search.XXXXXX")
source tests/scenario/common.sh
source tests/scenario/wine_machine.sh

MARKERS="bcrypt bcryptprimitives comctl32 cryptbase cryptsp dbghelp dwmapi dxgi msctf ncrypt profapi propsys
userenv uxtheme windowscodecs winmm wldp"

open_wine_machine "$win"/{kp_launcher.exe,kp_test_host.exe,kp_test_app.exe,kp_shell_stand_in.dll} \
    "$win"/{kp_dll_marker.dll,kp_load_library.exe} "$bin/kpack"
DL=$KP/downloads # the launcher's folder, where anyone may drop a file
mkdir -p "$DL"
# The application archive, and a tool package large enough that its window is up for a while.
make_material "$win/kp_test_app.exe" "$win/kp_test_host.exe" "$DL/app.enc" "$KP/host_" .exe tools_big || exit 1
cp "$win/kp_launcher.exe" "$win/kp_load_library.exe" "$DL/"
read -ra names <<<"$(printf '%s.dll ' $MARKERS)"
tee "${names[@]/#/$DL/}" <"$win/kp_dll_marker.dll" >/dev/null # one marker copy under each name
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;${MARKERS// /,}=n,b"

markers_that_ran() { (cd "$DL" && ls -- *.ran 2>/dev/null | sed 's/\.dll\.ran$//' | tr '\n' ' '); }

every_marker_runs_when_loaded_by_name() {
    wine 'C:\kp\downloads\kp_load_library.exe' "${names[@]}" >/dev/null 2>&1
    local ran
    ran=$(markers_that_ran)
    [ "$ran" = "$(tr ' ' '\n' <<<"$MARKERS" | sort | tr '\n' ' ')" ] || fail "markers that ran: $ran"
    rm -f "$DL"/*.ran
}

# A clean machine: installed from app.enc (AES through bcrypt), started, and the host's tool
# package unpacked (SHA-256 through bcrypt) under the progress window (user32, comctl32, themes).
no_marker_runs_in_the_launcher() {
    rm -rf "$INSTALL" "$RECORD" "$DL"/*.ran
    watch_for_window
    wine 'C:\kp\host_big.exe' 'C:\kp\downloads\kp_launcher.exe' >/dev/null 2>&1 || fail "launcher exit code $?"
    local ran
    ran=$(markers_that_ran)
    [ -z "$ran" ] || fail "planted DLLs ran in the launcher: $ran"
    stamp_is "$BUILD"
    wait_lines "$RECORD" 1 || fail "application not started"
    tools_current "$INSTALL" "$work/tools_big" "$KP/host_big.exe"
    window_seen
}

scenario "control: every marker runs when a program loads it by name from its folder" \
    every_marker_runs_when_loaded_by_name
scenario "no planted DLL runs while the launcher installs, starts and unpacks under its window" \
    no_marker_runs_in_the_launcher

report_checks
