#!/usr/bin/env bash
# Two builds of one commit are the same bytes: kp_launcher rebuilt in a second build folder, whose
# path has another length, gives the same kp_launcher.exe and kp_launcher.debug as build/windows
# (unsigned, as built). Only the launcher is rebuilt: the other programs share its flags, and it
# alone is optimised across files at link time. Without the compiler cache, which would hand back
# the first build's objects. The kit's own checks are in shipping_guide.sh.
set -uo pipefail
cd "$(dirname "$0")/../.."
source tests/support/checks.sh
win=$(realpath "${KP_WINDOWS_DIR:-build/windows}")
work=$(mktemp -d "${TMPDIR:-/tmp}/kp-rebuild.XXXXXX")
trap 'rm -rf "$work"' EXIT
[ -f "$win/kp_launcher.exe" ] || { echo "missing $win/kp_launcher.exe (build the windows preset first)"; echo "0 passed, 1 failed"; exit 1; }
second=$work/second
[ ${#second} -ne ${#win} ] || second=$work/second-build

rebuild_launcher() {
    export CCACHE_DISABLE=1
    cmake --preset windows -B "$second" >/dev/null && cmake --build "$second" --target kp_launcher -j2 >/dev/null
}
same_bytes() { # FILE: identical in both folders; else both checksums
    cmp -s "$win/$1" "$second/$1" || { sha256sum "$win/$1" "$second/$1"; return 1; }
}
check "the launcher builds in a second folder" rebuild_launcher
check "kp_launcher.exe is the same bytes" same_bytes kp_launcher.exe
check "kp_launcher.debug is the same bytes" same_bytes kp_launcher.debug
report_checks
