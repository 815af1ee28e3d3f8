#!/usr/bin/env bash
# The POSIX launcher on a machine shared with another local user, who plants what he can in the
# shared temporary folder, and on desktops whose folders are reached through links. Runs as root:
# `nobody` plays the other user. Ends with "N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/../.."
bin=$(realpath "${KP_DEV_DIR:-build/dev}")
work=$(mktemp -d "${TMPDIR:-/tmp}/kp-shared-machine.XXXXXX")
trap 'rm -rf "$work"' EXIT
source tests/scenario/common.sh

require_programs kp_launcher kp_test_host kp_test_app kpack
if [ "$(id -u)" -ne 0 ]; then
    echo "needs root, to act as another user"
    echo "0 passed, 1 failed"
    exit 1
fi
as_other() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; }
BUILD=$(build_id "$bin")

# app.enc with the recording stand-in, probe.enc with a script that lists what it inherited, and
# a host carrying a small tool package.
make_payload() { # FOLDER ENC: FOLDER/kestrin_pad.exe encrypted into ENC
    (cd "$1" && zip -q -X ../payload.zip kestrin_pad.exe) && "$bin/kpack" payload encrypt "$work/payload.zip" "$2"
}
mkdir -p "$work/app" "$work/probe" "$work/tools"
cp "$bin/kp_test_app" "$work/app/kestrin_pad.exe"
cp "$bin/kp_test_app" "$work/old_app" && printf 'older build' >>"$work/old_app"
printf '#!/bin/sh\n(ls -l /proc/$$/fd) >"$KP_APP_RECORD.fd"\ngrep ^SigIgn /proc/$$/status >"$KP_APP_RECORD"\n' \
    >"$work/probe/kestrin_pad.exe"
chmod +x "$work/probe/kestrin_pad.exe"
head -c 300000 /dev/urandom >"$work/tools/onnxruntime.dll"
{ make_payload "$work/app" "$work/app.enc" && make_payload "$work/probe" "$work/probe.enc" &&
    "$bin/kpack" tools append "$bin/kp_test_host" "$work/tools" -o "$work/host_tools"; } || exit 1
# The shared temporary folder, like /tmp; the other user must reach it.
chmod 755 "$work"
mkdir -m 1777 "$work/shared"

launch() { "$S/bin/kp_launcher" || fail "launcher exit code $?"; }
started() { # [INSTALL]: the application started once from the install folder, as its path is resolved
    started_once "$KP_APP_RECORD" "start	argc=1	cwd=${1:-$INSTALL}	cmdline=[${1:-$INSTALL}/kestrin_pad.exe]"
    rm "$KP_APP_RECORD"
}
stamp() { utf16_text "$INSTALL/.kp_build"; }

# KIND (fifo or file) planted by the other user at the launcher's temporary archive name in the
# shared folder, between its start and its first step: it ends, writes nothing and installs nothing.
planted_at_the_temporary_name() {
    new_sandbox
    export TMPDIR=$work/shared
    rm -f "$S/pid"
    timeout -s KILL 30 bash -c 'echo $$ >"$0"; kill -STOP $$; exec "$@"' "$S/pid" "$S/bin/kp_launcher" &
    local runner=$! pid=""
    for _ in $(seq 100); do
        [ -s "$S/pid" ] && pid=$(cat "$S/pid") && [ "$(cut -d' ' -f3 "/proc/$pid/stat" 2>/dev/null)" = T ] && break
        sleep 0.1
    done
    local name=$TMPDIR/kp_pkg_tmp_$pid.zip
    case $1 in
    fifo) as_other mkfifo -m 666 "$name" ;;
    file) as_other sh -c 'umask 0; echo planted >"$1"' - "$name" ;;
    esac
    kill -CONT "$pid"
    wait "$runner" || fail "launcher hung or failed (status $?)"
    case $1 in
    fifo) [ -p "$name" ] || fail "the FIFO was replaced" ;;
    file) [ "$(cat "$name")" = planted ] || fail "the other user's file was written" ;;
    esac
    [ "$(stat -c %U "$name")" = nobody ] || fail "the planted entry changed hands"
    rm -f "$name"
    [ ! -e "$INSTALL" ] && [ ! -e "$KP_APP_RECORD" ] || fail "installed from a refused temporary archive"
}

# A stamp left owned by another user (a run under sudo) is replaced: one installation, then current.
foreign_stamp_in_the_install_folder() {
    new_sandbox "0ld"
    chown nobody "$INSTALL/.kp_build"
    launch
    started
    [ "$(stamp)" = "$BUILD" ] || fail "stamp not replaced: $(stamp)"
    [ "$(stat -c %u "$INSTALL/.kp_build")" = 0 ] || fail "stamp not ours"
    cmp -s "$INSTALL/kestrin_pad.exe" "$work/app/kestrin_pad.exe" || fail "not installed"
    local inode
    inode=$(stat -c %i "$INSTALL/kestrin_pad.exe")
    launch
    started
    [ "$(stat -c %i "$INSTALL/kestrin_pad.exe")" = "$inode" ] || fail "installed again"
}

# The home folder through a link, then XDG_DATA_HOME with a trailing separator: the application
# running from the install folder is recognised, and nothing is installed over it.
running_application_behind_a_link() {
    local variant
    for variant in home-link data-slash; do
        new_sandbox
        if [ $variant = home-link ]; then
            mkdir -p "$S/real_home/.local/share"
            rmdir "$S/home" && ln -s real_home "$S/home"
            unset XDG_DATA_HOME
            INSTALL=$S/real_home/.local/share/KestrinPadFree
        else
            export XDG_DATA_HOME=$S/data/
        fi
        install_old "0ld"
        KP_APP_LINGER_MS=20000 KP_APP_RECORD=$S/lingering.txt "$INSTALL/kestrin_pad.exe" >/dev/null &
        local app=$!
        trap "kill $app 2>/dev/null" EXIT # the scenario's subshell
        wait_lines "$S/lingering.txt" 1 || fail "lingering application did not start"
        launch
        kill "$app"
        started
        [ "$(stamp)" = "0ld" ] && cmp -s "$INSTALL/kestrin_pad.exe" "$work/old_app" ||
            fail "$variant: installed over the running application"
    done
}

# Started from a host that leaves a descriptor open and signals ignored: the application has only
# the standard descriptors (and the one its shell reads the script through) and no signal ignored.
clean_start() {
    new_sandbox
    cp "$work/probe.enc" "$S/bin/app.enc"
    (
        trap '' INT TERM HUP QUIT
        exec 7</dev/null
        exec "$S/bin/kp_launcher"
    ) || fail "launcher exit code $?"
    wait_lines "$KP_APP_RECORD" 1 || fail "application not started"
    # posix_spawn leaves glibc's two reserved signals (32, 33) ignored; every glibc program sets
    # them up for itself.
    local ignored
    ignored=$(awk '{ print $2 }' "$KP_APP_RECORD")
    [ $((0x$ignored & ~0x180000000)) -eq 0 ] || fail "signals ignored: $ignored"
    local inherited
    inherited=$(sed -nE 's/.* ([0-9]+) -> (.*)/\1 \2/p' "$KP_APP_RECORD.fd" |
        awk -v script="$INSTALL/kestrin_pad.exe" '$1 > 2 && $2 != script')
    [ -z "$inherited" ] || fail "descriptors inherited: $inherited"
}

# One launcher with XDG_RUNTIME_DIR and one without wait at the same lock while a third process
# holds it; killing the holder lets them through, and they unpack once.
one_lock_whatever_the_environment() {
    new_sandbox "$BUILD"
    local lock
    lock=$(account_home)/.cache/KP_SmartToolsUnpack_KestrinPadFree.lock
    mkdir -p "$(dirname "$lock")"
    [ -e "$lock" ] || (umask 077 && : >>"$lock")
    python3 -c 'import fcntl, sys, time
lock = open(sys.argv[1])
fcntl.flock(lock, fcntl.LOCK_EX)
open(sys.argv[2], "w").write("held\n")
time.sleep(600)' "$lock" "$S/held" &
    local holder=$!
    trap "kill $holder \${WATCHER:-} 2>/dev/null" EXIT # the scenario's subshell
    wait_lines "$S/held" 1 || fail "the lock could not be taken"
    watch_unpacks "$INSTALL" "$work/unpacks" || fail "watcher did not start"
    "$work/host_tools" "$S/bin/kp_launcher" &
    local with=$!
    env -u XDG_RUNTIME_DIR "$work/host_tools" "$S/bin/kp_launcher" &
    local without=$! inode waiting=0
    inode=$(stat -c %i "$lock")
    for _ in $(seq 200); do
        waiting=$(grep -cE -- "-> FLOCK .*:$inode " /proc/locks)
        [ "$waiting" -ge 2 ] && break
        sleep 0.1
    done
    [ "$waiting" -ge 2 ] || fail "$waiting launchers wait at the lock"
    [ ! -e "$INSTALL/ai" ] || fail "tools unpacked while the lock was held"
    kill -KILL "$holder"
    wait "$with" && wait "$without" || fail "a launcher failed"
    sleep 0.5
    kill "$WATCHER"
    [ "$(cat "$work/unpacks")" = 1 ] || fail "unpacked $(cat "$work/unpacks") times"
    tools_current "$INSTALL" "$work/tools" "$work/host_tools"
}

scenario "FIFO planted at the temporary archive's name: no hang, nothing installed" planted_at_the_temporary_name fifo
scenario "another user's file at the temporary archive's name: left alone, nothing installed" planted_at_the_temporary_name file
scenario "another user's stamp in the install folder: replaced once, then current" foreign_stamp_in_the_install_folder
scenario "home through a link, data folder with a trailing slash: running application found" running_application_behind_a_link
scenario "application starts without the host's descriptors and ignored signals" clean_start
scenario "launchers with and without XDG_RUNTIME_DIR meet at one lock, released when its holder dies" one_lock_whatever_the_environment

report_checks
