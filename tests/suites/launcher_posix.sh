#!/usr/bin/env bash
# The launcher end to end on POSIX: the real kp_launcher started by a real host program in a
# sandbox whose HOME, XDG_DATA_HOME, TMPDIR and XDG_RUNTIME_DIR are temporary folders, with a
# stand-in application that records its command line and working directory.
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

for program in kp_launcher kp_test_host kp_test_app kpack kp_append_tools; do
    [ -x "$bin/$program" ] || { echo "missing $bin/$program (build it first)"; echo "0 passed, 1 failed"; exit 1; }
done
BUILD=$(build_id "$bin")

# The application of this build (app.enc) and an older one (the same program with other bytes).
mkdir -p "$work/app"
cp "$bin/kp_test_app" "$work/app/kestrin_pad.exe"
(cd "$work/app" && zip -q -X ../app.zip kestrin_pad.exe)
"$bin/kpack" payload encrypt "$work/app.zip" "$work/app.enc" || exit 1
cp "$bin/kp_test_app" "$work/old_app"
printf 'older build' >>"$work/old_app"

make_tool_set "$work/tools1" 1
make_tool_set "$work/tools2" 2
cp "$bin/kp_test_host" "$work/host_plain"
append_tools "$work/host_plain" "$work/tools1" "$work/host_tools1" || exit 1
append_tools "$work/host_plain" "$work/tools2" "$work/host_tools2" || exit 1
# A package big enough that its unpack is still running when the other launchers reach the mutex.
make_tool_set "$work/tools_big" big
head -c 150000000 /dev/urandom >"$work/tools_big/models/large.onnx"
append_tools "$work/host_plain" "$work/tools_big" "$work/host_big" || exit 1

# A fresh machine: launcher folder with app.enc, empty user folders.
new_sandbox() {
    S=$(mktemp -d "$work/sandbox.XXXXXX")
    mkdir -p "$S/home" "$S/data" "$S/tmp" "$S/run" "$S/bin"
    export HOME=$S/home XDG_DATA_HOME=$S/data TMPDIR=$S/tmp XDG_RUNTIME_DIR=$S/run
    export KP_APP_RECORD=$S/record.txt
    unset KP_APP_LINGER_MS
    cp "$bin/kp_launcher" "$work/app.enc" "$S/bin/"
    INSTALL=$S/data/KestrinPadFree
}

install_old() { # STAMP-TEXT
    mkdir -p "$INSTALL"
    cp "$work/old_app" "$INSTALL/kestrin_pad.exe"
    utf16 "$1" >"$INSTALL/.kp_build"
}

launch() { # HOST [ARGUMENTS...]: the host runs the launcher and waits for it
    local host=$1
    shift
    "$host" "$S/bin/kp_launcher" "$@" || fail "launcher exit code $?"
}

started_once_from_install() {
    wait_lines "$KP_APP_RECORD" 1 || fail "application not started"
    sleep 0.2
    [ "$(line_count "$KP_APP_RECORD")" -eq 1 ] || fail "started $(line_count "$KP_APP_RECORD") times"
    grep -qxF "start	argc=1	cwd=$INSTALL	cmdline=[$INSTALL/kestrin_pad.exe]" "$KP_APP_RECORD" ||
        fail "unexpected record: $(cat "$KP_APP_RECORD")"
}

not_started() {
    sleep 0.5
    [ ! -e "$KP_APP_RECORD" ] || fail "application started: $(cat "$KP_APP_RECORD")"
}

is_old_install() { cmp -s "$INSTALL/kestrin_pad.exe" "$work/old_app" || fail "installed executable was replaced"; }
is_new_install() {
    cmp -s "$INSTALL/kestrin_pad.exe" "$work/app/kestrin_pad.exe" || fail "this build's application is not installed"
    [ "$(utf16_text "$INSTALL/.kp_build")" = "$BUILD" ] || fail "stamp is not this build"
    [ -z "$(ls -A "$S/tmp")" ] || fail "temporary files left: $(ls "$S/tmp")"
}

# A stand-in application kept running from the install directory.
start_lingering_app() {
    KP_APP_LINGER_MS=20000 KP_APP_RECORD=$S/lingering.txt "$INSTALL/kestrin_pad.exe" >/dev/null &
    lingering+=($!)
    LINGER_PID=$!
    wait_lines "$S/lingering.txt" 1 || fail "lingering application did not start"
}

# Rows of the launch state table.
current_installation() {
    new_sandbox
    install_old "$BUILD"
    launch "$work/host_plain"
    started_once_from_install && is_old_install
}

outdated_while_running() {
    new_sandbox
    install_old "0ld"
    start_lingering_app
    launch "$work/host_plain"
    kill "$LINGER_PID"
    started_once_from_install && is_old_install
    [ "$(utf16_text "$INSTALL/.kp_build")" = "0ld" ] || fail "stamp changed"
}

outdated_not_running() {
    new_sandbox
    install_old "0ld"
    launch "$work/host_plain"
    started_once_from_install && is_new_install
}

absent_while_running() {
    new_sandbox
    install_old "0ld"
    start_lingering_app
    rm "$INSTALL/kestrin_pad.exe" # the process still runs from that path
    launch "$work/host_tools1"
    kill "$LINGER_PID"
    not_started
    [ ! -e "$INSTALL/kestrin_pad.exe" ] || fail "installed although the application runs"
    [ ! -e "$INSTALL/ai" ] || fail "tools refreshed although nothing was started"
}

first_run_on_a_clean_machine() {
    new_sandbox
    launch "$work/host_tools1"
    started_once_from_install && is_new_install && tools_current "$INSTALL" "$work/tools1" "$work/host_tools1"
}

stamp_variant() { # NAME BYTES-COMMAND
    new_sandbox
    install_old ""
    eval "$2" >"$INSTALL/.kp_build"
    launch "$work/host_plain"
    started_once_from_install && is_new_install
}

directory_in_place_of_the_executable() {
    new_sandbox
    mkdir -p "$INSTALL/kestrin_pad.exe"
    utf16 "$BUILD" >"$INSTALL/.kp_build"
    launch "$work/host_tools1"
    # Counts as installed: nothing is installed, the start fails, the tools still come.
    not_started
    [ -d "$INSTALL/kestrin_pad.exe" ] || fail "directory replaced"
    tools_current "$INSTALL" "$work/tools1" "$work/host_tools1"
}

arguments_not_passed_on() {
    new_sandbox
    install_old "$BUILD"
    launch "$work/host_plain" --install "two words" '"quoted"'
    started_once_from_install
}

parent_that_has_exited() {
    new_sandbox
    install_old "$BUILD"
    # The held child keeps the host's output open: take its id through a file, not a pipe.
    "$work/host_tools1" --orphan "$S/bin/kp_launcher" >"$S/launcher.pid" || fail "host failed"
    local pid
    pid=$(cat "$S/launcher.pid")
    kill -CONT "$pid"
    for _ in $(seq 100); do
        [ -e "/proc/$pid" ] && [ "$(cut -d' ' -f3 "/proc/$pid/stat" 2>/dev/null)" != Z ] || break
        sleep 0.1
    done
    started_once_from_install
    [ ! -e "$INSTALL/ai" ] || fail "the exited host's tools were unpacked"
}

parent_without_package() {
    new_sandbox
    install_old "$BUILD"
    launch "$work/host_plain"
    started_once_from_install && is_old_install
    [ -f "$S/run/KP_SmartToolsUnpack_KestrinPadFree.lock" ] || fail "the mutex was not taken"
    [ "$(ls -A "$INSTALL" | sort | tr '\n' ' ')" = ".kp_build kestrin_pad.exe " ] || fail "install folder changed"
}

run_after_a_new_build() {
    new_sandbox
    install_old "0ld"
    touch "$INSTALL/libmpv-2.dll" "$INSTALL/keep.dat"
    launch "$work/host_tools1" # tools of the old build's run
    : >"$KP_APP_RECORD"
    local tools_inode
    tools_inode=$(stat -c %i "$INSTALL/ai")
    launch "$work/host_tools1"
    wait_lines "$KP_APP_RECORD" 1 || fail "not started"
    is_new_install
    [ ! -e "$INSTALL/libmpv-2.dll" ] && [ -e "$INSTALL/keep.dat" ] || fail "stale files not handled"
    [ "$(stat -c %i "$INSTALL/ai")" = "$tools_inode" ] || fail "a current tool set was unpacked again"
    tools_current "$INSTALL" "$work/tools1" "$work/host_tools1"
}

new_tool_package() {
    new_sandbox
    install_old "$BUILD"
    launch "$work/host_tools1"
    tools_current "$INSTALL" "$work/tools1" "$work/host_tools1"
    launch "$work/host_tools2"
    tools_current "$INSTALL" "$work/tools2" "$work/host_tools2"
}

eight_launchers_together() {
    new_sandbox
    install_old "$BUILD"
    watch_unpacks "$INSTALL" "$S/unpacks" || fail "watcher did not start"
    local pids=() i status=0
    for i in $(seq 8); do
        "$work/host_big" "$S/bin/kp_launcher" &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do wait "$pid" || status=1; done
    sleep 0.3
    kill "$WATCHER"
    [ $status -eq 0 ] || fail "a launcher failed"
    [ "$(cat "$S/unpacks")" = 1 ] || fail "unpacked $(cat "$S/unpacks") times"
    wait_lines "$KP_APP_RECORD" 8 || fail "only $(line_count "$KP_APP_RECORD") applications started"
    tools_current "$INSTALL" "$work/tools_big" "$work/host_big"
}

scenario "current installation: started, nothing installed" current_installation
scenario "outdated while running: second instance, nothing installed" outdated_while_running
scenario "outdated, not running: installed and started" outdated_not_running
scenario "absent while running: nothing installed or started" absent_while_running
scenario "first run on a clean machine: install, start, tools" first_run_on_a_clean_machine
scenario "stamp with a line break is outdated" stamp_variant crlf 'utf16 "$BUILD"; printf "\r\0\n\0"'
scenario "stamp with a byte-order mark is outdated" stamp_variant bom 'printf "\377\376"; utf16 "$BUILD"'
scenario "stamp in upper case is outdated" stamp_variant upper 'utf16 "${BUILD^^}"'
scenario "stamp of odd length is outdated" stamp_variant odd 'utf16 "$BUILD"; printf x'
scenario "empty stamp is outdated" stamp_variant empty 'true'
scenario "directory in place of the executable counts as installed" directory_in_place_of_the_executable
scenario "launcher arguments are not passed on" arguments_not_passed_on
scenario "parent that has exited: no tools from it" parent_that_has_exited
scenario "parent without a package: mutex taken, nothing changes" parent_without_package
scenario "run after a new build: reinstalled, tools kept" run_after_a_new_build
scenario "new tool package replaces the tool set" new_tool_package
scenario "eight launchers together: one unpack" eight_launchers_together

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
