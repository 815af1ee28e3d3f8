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

require_programs "$bin"/{kp_launcher,kp_test_host,kp_test_app,kpack}
[ "$(id -u)" -eq 0 ] || { echo "needs root, to act as another user"; echo "0 passed, 1 failed"; exit 1; }
as_other() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; }
BUILD=$(build_id "$bin")

# app.enc with the recording stand-in, and probe.enc with a script that lists what it inherited.
make_material "$bin/kp_test_app" "$bin/kp_test_host" "$work/app.enc" "$work/host_" "" || exit 1
mkdir -p "$work/probe"
printf '#!/bin/sh\n(ls -l /proc/$$/fd) >"$KP_APP_RECORD.fd"\ngrep ^SigIgn /proc/$$/status >"$KP_APP_RECORD"\n' \
    >"$work/probe/kestrin_pad.exe"
chmod +x "$work/probe/kestrin_pad.exe"
encrypt_folder "$work/probe" "$work/probe.enc" || exit 1
# The shared temporary folder, like /tmp; the other user must reach it.
chmod 755 "$work"
mkdir -m 1777 "$work/shared"

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
    [ ! -e "$INSTALL" ] && [ ! -e "$RECORD" ] || fail "installed from a refused temporary archive"
}

# A stamp left owned by another user (a run under sudo) is replaced: one installation, then current.
foreign_stamp_in_the_install_folder() {
    new_sandbox "0ld"
    chown nobody "$INSTALL/.kp_build"
    launch env
    started && installed "$NEW" "$BUILD"
    [ "$(stat -c %u "$INSTALL/.kp_build")" = 0 ] || fail "stamp not ours"
    local inode
    inode=$(stat -c %i "$INSTALL/kestrin_pad.exe")
    launch env
    started
    [ "$(stat -c %i "$INSTALL/kestrin_pad.exe")" = "$inode" ] || fail "installed again"
}

# The home folder through a link, then XDG_DATA_HOME with a trailing separator: the application
# running from the install folder is recognised, and nothing is installed over it.
running_application_behind_a_link() {
    local variant
    for variant in home-link data-slash; do
        echo "$variant"
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
        run_installed_app
        launch env
        kill "$APP"
        started && installed "$OLD" "0ld"
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
    wait_lines "$RECORD" 1 || fail "application not started"
    # posix_spawn leaves glibc's two reserved signals (32, 33) ignored; every glibc program sets
    # them up for itself.
    local ignored inherited
    ignored=$(awk '{ print $2 }' "$RECORD")
    [ $((0x$ignored & ~0x180000000)) -eq 0 ] || fail "signals ignored: $ignored"
    inherited=$(sed -nE 's/.* ([0-9]+) -> (.*)/\1 \2/p' "$RECORD.fd" |
        awk -v script="$INSTALL/kestrin_pad.exe" '$1 > 2 && $2 != script')
    [ -z "$inherited" ] || fail "descriptors inherited: $inherited"
}

scenario "FIFO planted at the temporary archive's name: no hang, nothing installed" planted_at_the_temporary_name fifo
scenario "another user's file at the temporary archive's name: left alone, nothing installed" planted_at_the_temporary_name file
scenario "another user's stamp in the install folder: replaced once, then current" foreign_stamp_in_the_install_folder
scenario "home through a link, data folder with a trailing slash: running application found" running_application_behind_a_link
scenario "application starts without the host's descriptors and ignored signals" clean_start

report_checks
