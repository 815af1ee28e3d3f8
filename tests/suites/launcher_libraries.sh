#!/usr/bin/env bash
# The shared objects the POSIX launcher maps, from the dynamic loader's trace (LD_DEBUG=files, a
# file per process): an up-to-date launch maps none of the X libraries, libcrypto or libarchive;
# each is loaded only by the step that uses it. A library that cannot be loaded fails that step
# as any failure of it does: no crash, exit code 0, the previous state on disk kept.
set -uo pipefail
cd "$(dirname "$0")/../.."
bin=$(realpath "${KP_DEV_DIR:-build/dev}")
work=$(mktemp -d "${TMPDIR:-/tmp}/kp-launcher-libraries.XXXXXX")
trap 'rm -rf "$work"' EXIT
source tests/scenario/common.sh
require_programs "$bin"/{kp_launcher,kp_test_host,kp_test_app,kpack}
unset DISPLAY LD_DEBUG LD_PRELOAD LD_LIBRARY_PATH

make_material "$bin/kp_test_app" "$bin/kp_test_host" "$work/app.enc" "$work/host_" "" tools1 tools2 || exit 1
# A valid shared object that has none of the functions asked for, under a library's name: the
# library present but unusable, in a folder of its own for LD_LIBRARY_PATH.
for library in no_crypto/libcrypto.so.3 no_archive/libarchive.so.13 no_x/libX11.so.6 no_x/libXft.so.2; do
    mkdir -p "$work/${library%/*}"
    cc -shared -fPIC -x c -o "$work/$library" - <<<'int kp_no_functions_here;' || exit 1
done

# traced_launch HOST [ENV...]: one launch through HOST, the launcher's loader trace in $S/launcher.trace.
traced_launch() {
    local host=$1 trace=$S/trace
    shift
    rm -rf "$trace" && mkdir "$trace"
    env "$@" LD_DEBUG=files LD_DEBUG_OUTPUT="$trace/process" "$host" "$S/bin/kp_launcher" >/dev/null 2>&1 ||
        fail "launcher exit code $?"
    local file
    file=$(grep -l "needed by [^ ]*/kp_launcher \[0\]" "$trace"/process.* | head -1)
    [ -n "$file" ] || fail "no loader trace of the launcher"
    grep -o 'file=[^ ]* \[0\];  generating link map' "$file" | sed -E 's/file=([^ ]*) .*/\1/' >"$S/launcher.trace"
}
loaded() { grep -qE "/?($1)[^/]*$" "$S/launcher.trace" || fail "$1 not seen"; }
none_loaded() {
    ! grep -E "/?($1)[^/]*$" "$S/launcher.trace" || fail "loaded"
}
live() { [ "$(cat "$INSTALL/ai/README.txt")" = "tool set $1" ] || fail "$1 is not the live tool set"; }
# nothing_installed_without LIBRARY: on a clean machine, the launcher meets an unusable LIBRARY.
nothing_installed_without() {
    traced_launch "$work/host_tools1" LD_LIBRARY_PATH="$work/no_$1"
    loaded "lib$1"
    [ ! -e "$INSTALL/kestrin_pad.exe" ] || fail "application installed"
    [ ! -e "$INSTALL/.kp_build" ] || fail "stamp written"
    [ -z "$(ls -A "$S/tmp")" ] || fail "temporary files left: $(ls "$S/tmp")"
    [ ! -e "$RECORD" ] || fail "an application started"
}

# The same trace sees what a step loads, so the up-to-date check is not blind to dlopen. A refresh
# with no display named loads no X library; one with a display named tries the window (whether or
# not a server answers there), and with unusable X libraries unpacks without it.
scenario "each library loaded only by the step that uses it, unusable X libraries leave no window; an up-to-date launch maps none" eval '
    new_sandbox
    traced_launch "$work/host_tools1"
    loaded libcrypto
    loaded libarchive
    traced_launch "$work/host_tools2"
    loaded libcrypto
    none_loaded "libX11|libXft|libXrandr|libarchive"
    live tools2
    traced_launch "$work/host_tools1" DISPLAY=:97
    loaded libX11
    live tools1
    traced_launch "$work/host_tools2" LD_LIBRARY_PATH="$work/no_x" DISPLAY=:0
    loaded libX11
    live tools2
    traced_launch "$work/host_tools2"
    none_loaded "libX11|libXft|libXrandr|libXrender|libfontconfig|libfreetype|libcrypto|libarchive"
    grep -q start "$RECORD" || fail "application not started"'

scenario "without a usable libcrypto nothing is installed, then a new tool package is refused and the live set stays" eval '
    new_sandbox
    nothing_installed_without crypto
    traced_launch "$work/host_tools1"
    live tools1
    traced_launch "$work/host_tools2" LD_LIBRARY_PATH="$work/no_crypto"
    loaded libcrypto
    live tools1
    [ ! -e "$INSTALL/ai.new" ] || fail "staging directory left"
    grep -q start "$RECORD" || fail "application not started"'

scenario "without a usable libarchive nothing is installed" eval 'new_sandbox; nothing_installed_without archive'

report_checks
