#!/usr/bin/env bash
# The launcher end to end on POSIX: the real kp_launcher started by a real host program in a sandbox
# of temporary user folders, with a stand-in application that records how it was started.
set -uo pipefail
cd "$(dirname "$0")/../.."
bin=$(realpath "${KP_DEV_DIR:-build/dev}")
work=$(mktemp -d "${TMPDIR:-/tmp}/kp-launcher-posix.XXXXXX")
lingering=()
cleanup() {
    for pid in "${lingering[@]}"; do kill "$pid" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT
source tests/scenario/common.sh

require_programs kp_launcher kp_test_host kp_test_app kpack
BUILD=$(build_id "$bin")
make_material "$bin/kp_test_app" "$bin/kp_test_host" "$work/app.enc" "$work/host_" || exit 1

launch() { "$1" "$S/bin/kp_launcher" "${@:2}" || fail "launcher exit code $?"; }
started() {
    started_once "$KP_APP_RECORD" "start	argc=1	cwd=$INSTALL	cmdline=[$INSTALL/kestrin_pad.exe]"
    rm "$KP_APP_RECORD"
}
is_old_install() { cmp -s "$INSTALL/kestrin_pad.exe" "$work/old_app" || fail "installed executable was replaced"; }
is_new_install() {
    cmp -s "$INSTALL/kestrin_pad.exe" "$work/app/kestrin_pad.exe" || fail "this build's application is not installed"
    [ "$(utf16_text "$INSTALL/.kp_build")" = "$BUILD" ] || fail "stamp is not this build"
    [ -z "$(ls -A "$S/tmp")" ] || fail "temporary files left: $(ls "$S/tmp")"
}

current_installation() {
    new_sandbox "$BUILD"
    launch "$work/host_plain" --install "two words" '"quoted"'
    started && is_old_install
    [ -f "$(account_home)/.cache/KP_SmartToolsUnpack_KestrinPadFree.lock" ] || fail "the mutex was not taken"
    [ "$(ls -A "$INSTALL" | sort | tr '\n' ' ')" = ".kp_build kestrin_pad.exe " ] || fail "install folder changed"
}

# Outdated, then absent, while the application runs from the install directory.
application_running() {
    new_sandbox "0ld"
    KP_APP_LINGER_MS=20000 KP_APP_RECORD=$S/lingering.txt "$INSTALL/kestrin_pad.exe" >/dev/null &
    lingering+=($!)
    wait_lines "$S/lingering.txt" 1 || fail "lingering application did not start"
    launch "$work/host_plain"
    started && is_old_install
    [ "$(utf16_text "$INSTALL/.kp_build")" = "0ld" ] || fail "stamp changed"
    rm "$INSTALL/kestrin_pad.exe"
    launch "$work/host_tools1"
    kill "${lingering[-1]}"
    sleep 0.5
    [ ! -e "$KP_APP_RECORD" ] || fail "started although absent"
    [ ! -e "$INSTALL/kestrin_pad.exe" ] || fail "installed although the application runs"
    [ ! -e "$INSTALL/ai" ] || fail "tools refreshed although nothing was started"
}

# Clean machine, then an outdated one with stale files, then current: the tool set is kept until a
# new package replaces it.
install_and_tool_updates() {
    new_sandbox
    launch "$work/host_tools1"
    started && is_new_install && tools_current "$INSTALL" "$work/tools1" "$work/host_tools1"
    install_old "0ld"
    touch "$INSTALL/libmpv-2.dll" "$INSTALL/keep.dat"
    launch "$work/host_tools2"
    started && is_new_install
    [ ! -e "$INSTALL/libmpv-2.dll" ] && [ -e "$INSTALL/keep.dat" ] || fail "stale files not handled"
    tools_current "$INSTALL" "$work/tools2" "$work/host_tools2"
    local tools_inode
    tools_inode=$(stat -c %i "$INSTALL/ai")
    launch "$work/host_tools2"
    started
    [ "$(stat -c %i "$INSTALL/ai")" = "$tools_inode" ] || fail "a current tool set was unpacked again"
}

# Line break, byte-order mark, upper case, odd length, empty.
stamp_variants() {
    local variant
    for variant in 'utf16 "$BUILD"; printf "\r\0\n\0"' 'printf "\377\376"; utf16 "$BUILD"' \
        'utf16 "${BUILD^^}"' 'utf16 "$BUILD"; printf x' 'true'; do
        new_sandbox ""
        eval "$variant" >"$INSTALL/.kp_build"
        launch "$work/host_plain"
        (started && is_new_install) || fail "stamp written by: $variant"
    done
}

directory_in_place_of_the_executable() {
    new_sandbox
    mkdir -p "$INSTALL/kestrin_pad.exe"
    utf16 "$BUILD" >"$INSTALL/.kp_build"
    launch "$work/host_tools1"
    sleep 0.5
    [ ! -e "$KP_APP_RECORD" ] || fail "application started: $(cat "$KP_APP_RECORD")"
    [ -d "$INSTALL/kestrin_pad.exe" ] || fail "directory replaced"
    tools_current "$INSTALL" "$work/tools1" "$work/host_tools1"
}

parent_that_has_exited() {
    new_sandbox "$BUILD"
    # The held child keeps the host's output open: take its id through a file, not a pipe.
    "$work/host_tools1" --orphan "$S/bin/kp_launcher" >"$S/launcher.pid" || fail "host failed"
    local pid
    pid=$(cat "$S/launcher.pid")
    kill -CONT "$pid"
    for _ in $(seq 100); do
        [ -e "/proc/$pid" ] && [ "$(cut -d' ' -f3 "/proc/$pid/stat" 2>/dev/null)" != Z ] || break
        sleep 0.1
    done
    started
    [ ! -e "$INSTALL/ai" ] || fail "the exited host's tools were unpacked"
}

# The install folder on a small file system of its own: the launcher demands FREE_SPACE_MARGIN
# (256 MiB) beyond what the copy needs, so 300 MiB leave room for a small build and little more.
# Mounting needs root (as in CI). A second archive holds a folder, for an item the copy cannot place.
small_disk() {
    new_sandbox "0ld"
    mkdir -p "$S/disk"
    mount -t tmpfs -o size=300m kp-small-disk "$S/disk" || fail "cannot mount a tmpfs (run as root)"
    trap 'umount "$S/disk"' EXIT # each scenario runs in a subshell of its own
    mv "$S/data/KestrinPadFree" "$S/disk/"
    export XDG_DATA_HOME=$S/disk
    INSTALL=$S/disk/KestrinPadFree
    mkdir -p "$work/lib_app/lib"
    cp "$work/app/kestrin_pad.exe" "$work/lib_app/"
    head -c 200000 /dev/urandom >"$work/lib_app/lib/core.dat"
    rm -f "$work/lib_app.zip"
    (cd "$work/lib_app" && zip -q -X -r ../lib_app.zip kestrin_pad.exe lib)
    "$bin/kpack" payload encrypt "$work/lib_app.zip" "$S/bin/app.enc" >/dev/null || fail "kpack failed"
}
install_state() { ls -lR --time-style=+%s.%N "$INSTALL" | md5sum; cat "$INSTALL"/* 2>/dev/null | md5sum; }
largest_file() { stat -c %s "$work/lib_app/kestrin_pad.exe" "$work/lib_app/lib/core.dat" | sort -n | tail -1; }
# fill_to BYTES: leaves BYTES free on the small disk.
fill_to() {
    local avail
    rm -f "$S/disk/filler"
    avail=$(df -B1 --output=avail "$S/disk" | tail -1)
    fallocate -l $((avail - $1)) "$S/disk/filler" || fail "cannot fill the disk"
}

# Nearly full: refused before anything is written, the older build runs; freed: the next launch
# installs the whole build.
nearly_full_disk() {
    small_disk
    local exe_size lib_size margin=$((256 * 1048576)) before
    exe_size=$(stat -c %s "$work/lib_app/kestrin_pad.exe")
    lib_size=$(stat -c %s "$work/lib_app/lib/core.dat")
    # Need: both files, less the older executable they replace, plus the largest once more.
    local need=$((exe_size + lib_size - $(stat -c %s "$INSTALL/kestrin_pad.exe") + $(largest_file) + margin))
    fill_to $((need - 4096 * 8))
    before=$(install_state)
    launch "$work/host_plain"
    started && is_old_install
    [ "$(install_state)" = "$before" ] || fail "the install folder changed on a full disk"
    [ -z "$(ls -A "$S/tmp")" ] || fail "temporary files left: $(ls "$S/tmp")"
    rm "$S/disk/filler"
    launch "$work/host_plain"
    started
    diff -r -x .kp_build "$work/lib_app" "$INSTALL" || fail "installed files differ from the archive"
    [ "$(utf16_text "$INSTALL/.kp_build")" = "$BUILD" ] || fail "stamp is not this build"
}

# An upgrade that fits in place, with the margin, is not refused: the same names, little room.
upgrade_in_place() {
    small_disk
    launch "$work/host_plain"
    started
    utf16 "0ld" >"$INSTALL/.kp_build"
    fill_to $(($(largest_file) + 256 * 1048576 + 4096 * 8)) # the largest once more, the margin, a few blocks
    launch "$work/host_plain"
    started
    [ "$(utf16_text "$INSTALL/.kp_build")" = "$BUILD" ] || fail "an upgrade that fits was refused"
}

# A folder standing at a file's name: the copy cannot place the file, so no stamp.
item_that_cannot_be_placed() {
    small_disk
    mkdir -p "$INSTALL/lib/core.dat/inside"
    launch "$work/host_plain"
    started
    [ "$(utf16_text "$INSTALL/.kp_build")" = "0ld" ] || fail "stamped over a missing file"
    rm -r "$INSTALL/lib/core.dat"
    launch "$work/host_plain"
    started
    [ "$(utf16_text "$INSTALL/.kp_build")" = "$BUILD" ] || fail "not installed once the folder was gone"
}

# On a clean machine: one installation (one temporary archive), the others wait for it and find
# its stamp; one unpack.
eight_launchers_together() {
    new_sandbox
    mkdir -p "$INSTALL"
    watch_unpacks "$S/tmp" "$work/installs" kp_pkg_tmp_ || fail "watcher did not start"
    local installs=$WATCHER
    eight_launchers "$INSTALL" "$KP_APP_RECORD" "$work/host_big" "$work/host_big" "$S/bin/kp_launcher"
    kill "$installs"
    [ "$(cat "$work/installs")" = 1 ] || fail "installed $(cat "$work/installs") times"
    is_new_install
}

# The holder of the installation lock dies (a launcher killed while it installs): the launcher
# waiting for the lock takes it over and installs.
holder_of_the_installation_lock_killed() {
    new_sandbox
    local lock holder launcher
    lock=$(account_home)/.cache/KP_Install_KestrinPadFree.lock
    (exec 9>>"$lock" && flock 9 && exec sleep 600) &
    holder=$!
    launch "$work/host_plain" &
    launcher=$!
    for _ in $(seq 300); do
        grep -q -- "-> FLOCK.*:$(stat -c %i "$lock") " /proc/locks && break
        sleep 0.1
    done
    [ ! -e "$INSTALL" ] && kill -0 "$launcher" || fail "the launcher did not wait for the lock"
    kill -9 "$holder"
    wait "$launcher" || fail "launcher failed"
    started && is_new_install
}

scenario "current installation: started, arguments not passed on, mutex taken, nothing changed" current_installation
scenario "application running: not reinstalled, started again only while present" application_running
scenario "clean machine, then a new build, then a new package: install, start, tools kept and replaced" install_and_tool_updates
scenario "stamps not exactly the build id are outdated" stamp_variants
scenario "directory in place of the executable counts as installed: not started, tools still come" directory_in_place_of_the_executable
scenario "parent that has exited: no tools from it" parent_that_has_exited
scenario "eight launchers together on a clean machine: one installation, one unpack" eight_launchers_together
scenario "the holder of the installation lock killed: the waiting launcher installs" holder_of_the_installation_lock_killed
scenario "nearly full disk: nothing written, older build runs; freed: the whole build installs" nearly_full_disk
scenario "an upgrade that fits in place with the margin installs" upgrade_in_place
scenario "an item the copy cannot place leaves no stamp" item_that_cannot_be_placed

report_checks
