#!/usr/bin/env bash
# The launcher end to end on POSIX: the real kp_launcher started by a real host program in a sandbox
# of temporary user folders, with a stand-in application that records how it was started.
set -uo pipefail
cd "$(dirname "$0")/../.."
bin=$(realpath "${KP_DEV_DIR:-build/dev}")
work=$(mktemp -d "${TMPDIR:-/tmp}/kp-launcher-posix.XXXXXX")
trap 'rm -rf "$work"' EXIT
source tests/scenario/common.sh

require_programs "$bin"/{kp_launcher,kp_test_host,kp_test_app,kpack}
BUILD=$(build_id "$bin")
make_material "$bin/kp_test_app" "$bin/kp_test_host" "$work/app.enc" "$work/host_" "" tools1 tools2 tools_big || exit 1

# Current: started, arguments not passed on, the tools mutex taken, nothing changed; then through a
# host that has exited: no tools from it.
current_installation() {
    new_sandbox "$BUILD"
    launch "$work/host_plain" --install "two words" '"quoted"'
    started && installed "$OLD" "$BUILD"
    [ -f "$(account_home)/.cache/KP_SmartToolsUnpack_KestrinPadFree.lock" ] || fail "the mutex was not taken"
    [ "$(ls -A "$INSTALL" | sort | tr '\n' ' ')" = ".kp_build kestrin_pad.exe " ] || fail "install folder changed"
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

# Outdated, then absent, while the application runs from the install directory.
application_running() {
    new_sandbox "0ld"
    run_installed_app
    launch "$work/host_plain"
    started && installed "$OLD" "0ld"
    rm "$INSTALL/kestrin_pad.exe"
    launch "$work/host_tools1"
    sleep 0.5
    [ ! -e "$RECORD" ] || fail "started although absent"
    [ ! -e "$INSTALL/kestrin_pad.exe" ] || fail "installed although the application runs"
    [ ! -e "$INSTALL/ai" ] || fail "tools refreshed although nothing was started"
}

# Clean machine, then an outdated one with stale files, then current: the tool set is kept until a
# new package replaces it.
install_and_tool_updates() {
    new_sandbox
    launch "$work/host_tools1"
    started && installed "$NEW" "$BUILD" && tools_current "$INSTALL" "$work/tools1" "$work/host_tools1"
    install_old "0ld"
    touch "$INSTALL/libmpv-2.dll" "$INSTALL/keep.dat"
    launch "$work/host_tools2"
    started && installed "$NEW" "$BUILD"
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
        (started && installed "$NEW" "$BUILD") || fail "stamp written by: $variant"
    done
}

directory_in_place_of_the_executable() {
    new_sandbox
    mkdir -p "$INSTALL/kestrin_pad.exe"
    utf16 "$BUILD" >"$INSTALL/.kp_build"
    launch "$work/host_tools1"
    sleep 0.5
    [ ! -e "$RECORD" ] || fail "application started: $(cat "$RECORD")"
    [ -d "$INSTALL/kestrin_pad.exe" ] || fail "directory replaced"
    tools_current "$INSTALL" "$work/tools1" "$work/host_tools1"
}


# The install folder on a small file system of its own (mounting needs root, as in CI), nearly
# full: refused before anything is written, the older build runs; once space is freed, the next
# launch installs. The launcher demands FREE_SPACE_MARGIN (256 MiB) beyond what the copy needs,
# so 300 MiB leave room for a small build.
nearly_full_disk() {
    new_sandbox "0ld"
    mkdir -p "$S/disk"
    mount -t tmpfs -o size=300m kp-small-disk "$S/disk" || fail "cannot mount a tmpfs (run as root)"
    trap 'umount "$S/disk"' EXIT # each scenario runs in a subshell of its own
    mv "$INSTALL" "$S/disk/"
    export XDG_DATA_HOME=$S/disk
    INSTALL=$S/disk/KestrinPadFree
    # Need: no growth (the new executable replaces a larger one), the largest file once more, the
    # margin; a few blocks short of that are left free.
    local need before
    need=$(($(stat -c %s "$NEW") + 256 * 1048576))
    fallocate -l $(($(df -B1 --output=avail "$S/disk" | tail -1) - need + 4096 * 8)) "$S/disk/filler" ||
        fail "cannot fill the disk"
    install_state() { ls -lR --time-style=+%s.%N "$INSTALL" && cat "$INSTALL"/*; }
    before=$(install_state | md5sum)
    launch "$work/host_plain"
    started && installed "$OLD" "0ld"
    [ "$(install_state | md5sum)" = "$before" ] || fail "the install folder changed on a full disk"
    rm "$S/disk/filler"
    launch "$work/host_plain"
    started && installed "$NEW" "$BUILD"
}

# On a clean machine: one installation (one temporary archive), the others wait for it and find
# its stamp; one unpack. They start while another holds the installation lock, which its holder
# loses by dying (a launcher killed while it installs) once a launcher waits for it.
eight_launchers_together() {
    new_sandbox
    mkdir -p "$INSTALL"
    local lock holder killer installs
    lock=$(account_home)/.cache/KP_Install_KestrinPadFree.lock
    (exec 9>>"$lock" && flock 9 && exec sleep 600) &
    holder=$!
    trap 'kill $holder 2>/dev/null' EXIT # a failure must not leave the account's lock held
    (for _ in $(seq 300); do
        grep -q -- "-> FLOCK.*:$(stat -c %i "$lock") " /proc/locks && exec kill -9 "$holder"
        sleep 0.1
    done && touch "$S/unwaited" && kill -9 "$holder") &
    killer=$!
    watch_unpacks "$S/tmp" "$work/installs" kp_pkg_tmp_ || fail "watcher did not start"
    installs=$WATCHER
    eight_launchers "$INSTALL" "$work/host_big" "$work/host_big" "$S/bin/kp_launcher"
    kill "$installs"
    wait "$killer"
    [ ! -e "$S/unwaited" ] || fail "no launcher waited for the installation lock"
    [ "$(cat "$work/installs")" = 1 ] || fail "installed $(cat "$work/installs") times"
    installed "$NEW" "$BUILD"
}

scenario "current installation: started, arguments not passed on, mutex taken, nothing changed; no tools from a parent that has exited" \
    current_installation
scenario "application running: not reinstalled, started again only while present" application_running
scenario "clean machine, then a new build, then a new package: install, start, tools kept and replaced" install_and_tool_updates
scenario "stamps not exactly the build id are outdated" stamp_variants
scenario "directory in place of the executable counts as installed: not started, tools still come" directory_in_place_of_the_executable
scenario "eight launchers together on a clean machine, the lock's holder killed: one installation, one unpack" \
    eight_launchers_together
scenario "nearly full disk: nothing written, older build runs; freed: the whole build installs" nearly_full_disk

report_checks
