#!/usr/bin/env bash
# The Windows launcher end to end under Wine, in a fresh prefix and on a virtual display:
# kp_launcher.exe started by a Windows test host, with a stand-in application that records its start
# and a stand-in for the shell's automation object (kp_shell_stand_in.dll) that logs its calls.
set -uo pipefail
cd "$(dirname "$0")/../.."
win=$(realpath "${KP_WINDOWS_DIR:-build/windows}")
bin=$(realpath "${KP_DEV_DIR:-build/dev}") # kpack runs natively; both builds share the configuration
work=$(mktemp -d "${TMPDIR:-/tmp}/kp-launcher-wine.XXXXXX")
source tests/scenario/common.sh
source tests/scenario/wine_machine.sh

open_wine_machine "$win"/{kp_launcher.exe,kp_test_host.exe,kp_test_app.exe,kp_shell_stand_in.dll} "$bin/kpack"
TEMP_WIN=$(win_var TEMP)
TEMP_UNIX=$(winepath -u "$TEMP_WIN" 2>/dev/null)
make_material "$win/kp_test_app.exe" "$win/kp_test_host.exe" "$work/app.enc" "$KP/host_" .exe tools1 tools_big || exit 1
# The application archive, its tree in $work/app: folders, stored and deflated entries.
mkdir -p "$work/app/assets/nested"
head -c 50000 /dev/urandom >"$work/app/assets/noise.bin"
seq 2000 >"$work/app/assets/nested/notes.txt"
encrypt_folder "$work/app" "$KP/app.enc" || exit 1
methods=$(zipinfo "$work/app.zip")
[[ $methods == *" stor "* && $methods == *" defN "* ]] || { echo "app.zip lacks a stored or a deflated entry"; exit 1; }
cp "$win/kp_launcher.exe" "$KP/"
export KP_SHELL_LOG='C:\kp\shell.log'
SHELL_LOG=$KP/shell.log

fresh_machine() { # [STAMP-TEXT]: no installation, record or shell log; with STAMP-TEXT, the older build
    rm -rf "$INSTALL" "$RECORD" "$SHELL_LOG"
    [ $# -eq 0 ] || install_old "$1"
}
launch() { # HOST ARGUMENTS...
    wine "C:\\kp\\$1" 'C:\kp\kp_launcher.exe' "${@:2}" >/dev/null 2>&1 || fail "launcher exit code $?"
}

# Through a plain host and with no Windows parent no tools come; then the host's package is
# unpacked, and a new one under the progress window.
up_to_date_run_and_tool_refresh() {
    fresh_machine "$BUILD"
    launch host_plain.exe --ignored "arguments"
    started && installed "$OLD" "$BUILD"
    wine 'C:\kp\kp_launcher.exe' >/dev/null 2>&1 || fail "launcher exit code"
    started
    [ ! -e "$INSTALL/ai" ] || fail "tools from a host without a package"
    [ ! -e "$SHELL_LOG" ] || fail "the shell was asked on an up-to-date run"
    launch host_tools1.exe
    started && tools_current "$INSTALL" "$work/tools1" "$KP/host_tools1.exe"
    watch_for_window
    launch host_big.exe
    window_seen
    tools_current "$INSTALL" "$work/tools_big" "$KP/host_big.exe"
    sleep 0.5
    ! xdotool search --onlyvisible --class kp_launcher >/dev/null 2>&1 || fail "window left open"
}

# shell_calls OUTCOME...: the stand-in served the shell object and logged, after the two NameSpace
# calls (the temporary archive, then the install folder), the OUTCOME lines, then that every object
# it made was released.
shell_calls() {
    local expected actual
    expected=$(printf '%s\n' "CreateInstance stand-in IShellDispatch" "NameSpace vt=8 $TEMP_WIN\kp_pkg_tmp_PID.zip -> $1" \
        "NameSpace vt=8 $INSTALL_WIN -> folder" "${@:2}" "all released")
    actual=$(tr -d '\r' <"$SHELL_LOG" | sed -E 's/kp_pkg_tmp_[0-9]+\.zip/kp_pkg_tmp_PID.zip/')
    [ "$actual" = "$expected" ] || fail "shell calls differ:" $'\n'"$actual" $'\n'"expected:" $'\n'"$expected"
    ! compgen -G "$TEMP_UNIX/kp_pkg_tmp_*" >/dev/null || fail "temporary archive left"
}

# The archive's five entries copied in by the stand-in, stamped with this build, started once;
# nothing else in the install folder but $KEEP, when set. $COPIED: how the stand-in's copy went.
installed_from_tree() {
    launch host_plain.exe
    started
    [ -z "${KEEP:-}" ] || rm "$INSTALL/$KEEP" || fail "$KEEP was deleted"
    diff -r -x .kp_build "$work/app" "$INSTALL" || fail "installed files differ from the archive"
    stamp_is "$BUILD"
    shell_calls archive "Items archive -> collection" "CopyHere vt=9 vt=3 1556 -> ${COPIED:-5 entries}"
}

# A shell that cannot open a zip: no copy, so no stamp, and the older executable is started.
installation_path() {
    fresh_machine "0ld"
    KP_SHELL_NO_ZIP=1 launch host_plain.exe
    started && installed "$OLD" "0ld"
    shell_calls none
}

# Models Windows' CopyHere returning at once and copying on a thread of its own, each target opened
# exclusively and dated from the archive: the launcher waits for every file, on a clean machine and
# over an older installation whose files have the new sizes and dates (only their change time tells
# them apart), never holds a file the copy has yet to write (that write would fail), and deletes
# the archive only after the copy has read it.
copy_on_its_own_thread() {
    export KP_SHELL_COPY=thread COPIED="copying on a thread of its own"
    fresh_machine
    installed_from_tree
    local round file when
    for round in 1 2 3; do
        for file in kestrin_pad.exe assets/noise.bin assets/nested/notes.txt; do
            when=$(stat -c %y "$INSTALL/$file")
            printf 'old' | dd of="$INSTALL/$file" conv=notrunc status=none
            touch -d "$when" "$INSTALL/$file"
        done
        utf16 "0ld" >"$INSTALL/.kp_build"
        rm -f "$SHELL_LOG"
        installed_from_tree || fail "round $round"
    done
}

# A launcher killed while it holds the installation mutex (waiting for the copy): Windows hands the
# abandoned mutex to the next launcher, which installs on this nearly clean machine (a clean install
# end to end). The killed one leaves its temporary archive.
killed_while_installing() {
    fresh_machine
    KP_SHELL_COPY=thread wine 'C:\kp\kp_launcher.exe' >/dev/null 2>&1 &
    local first=$!
    for _ in $(seq 600); do grep -qs CopyHere "$SHELL_LOG" && break; sleep 0.1; done
    kill -9 "$first"
    wait "$first"
    [ ! -e "$INSTALL/.kp_build" ] || fail "stamped before the kill"
    rm -f "$SHELL_LOG" "$TEMP_UNIX"/kp_pkg_tmp_*
    installed_from_tree
}

# Models Windows' shell passing over an item it cannot write and still returning: no stamp, and
# the next launch, with a faithful copy, installs the whole build. A stale library goes, a file
# the archive does not hold stays.
item_left_out() {
    local older
    for older in "" "0ld"; do
        fresh_machine ${older:+"$older"}
        mkdir -p "$INSTALL"
        touch "$INSTALL/libmpv-2.dll" "$INSTALL/keep.dat"
        KP_SHELL_COPY=skip:assets/noise.bin launch host_plain.exe
        started
        [ ! -e "$INSTALL/assets/noise.bin" ] || fail "the stand-in copied the item it should leave out"
        stamp_is "$older"
        shell_calls archive "Items archive -> collection" "CopyHere vt=9 vt=3 1556 -> 4 entries"
        rm -f "$SHELL_LOG"
        KEEP=keep.dat installed_from_tree
    done
}

# On a clean machine, the shell copying slowly on its own thread: one copy (the others wait for the
# installation mutex, then find the stamp), one unpack.
eight_launchers_together() {
    fresh_machine
    mkdir -p "$INSTALL"
    export KP_SHELL_COPY=thread
    eight_launchers "$INSTALL" "$KP/host_big.exe" launch host_big.exe
    [ "$(grep -c CopyHere "$SHELL_LOG")" = 1 ] || fail "copies requested: $(grep CopyHere "$SHELL_LOG")"
    stamp_is "$BUILD"
}

scenario "up-to-date run: started, arguments not passed on, no tools without a package; the host's package, a new one with the progress window" \
    up_to_date_run_and_tool_refresh
scenario "installation path: no zip support, older executable started" installation_path
scenario "the shell copies on a thread of its own: the launcher waits for every file" copy_on_its_own_thread
scenario "the shell leaves an item out: no stamp until a whole copy, stale library gone, other files kept" item_left_out
scenario "a launcher killed while installing: the next one takes the mutex over and installs" killed_while_installing
scenario "eight launchers together on a clean machine: one copy, one unpack" eight_launchers_together

report_checks
