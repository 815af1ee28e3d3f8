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
require_programs kp_launcher kp_test_host kp_test_app kpack
unset DISPLAY LD_DEBUG LD_PRELOAD LD_LIBRARY_PATH

lazy_libraries='libX11|libXft|libXrandr|libXrender|libfontconfig|libfreetype|libcrypto|libarchive'

mkdir -p "$work/app" "$work/tools1/models" "$work/tools2/models"
cp "$bin/kp_test_app" "$work/app/kestrin_pad.exe"
(cd "$work/app" && zip -q -X ../app.zip kestrin_pad.exe)
"$bin/kpack" payload encrypt "$work/app.zip" "$work/app.enc" >/dev/null || exit 1
for set in tools1 tools2; do
    head -c 200000 /dev/urandom >"$work/$set/onnxruntime.dll"
    echo "$set" >"$work/$set/models/name.txt"
    "$bin/kpack" tools append "$bin/kp_test_host" "$work/$set" -o "$work/host_$set" >/dev/null || exit 1
done

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
loaded() { grep -E "/?($1)[^/]*$" "$S/launcher.trace"; }
none_loaded() {
    if loaded "$1" >/dev/null; then fail "loaded: $(loaded "$1" | xargs)"; fi
}
installed_with() { # a machine whose launcher is installed, current, with tools $1 live
    new_sandbox
    traced_launch "$work/host_$1"
    [ "$(cat "$INSTALL/ai/models/name.txt")" = "$1" ] || fail "$1 is not the live tool set"
}

scenario "an up-to-date launch maps none of the X libraries, libcrypto or libarchive" eval '
    installed_with tools1
    traced_launch "$work/host_tools1"
    none_loaded "$lazy_libraries"
    grep -q start "$KP_APP_RECORD" || fail "application not started"'

# The same trace sees what a step loads: the check above is not blind to dlopen.
# A refresh with no display named loads no X library; one with a display named tries the window
# (whether or not a server answers there).
scenario "an installation loads libcrypto and libarchive, a tool refresh libcrypto and, given a display, the X libraries" eval '
    new_sandbox
    traced_launch "$work/host_tools1"
    loaded libcrypto >/dev/null || fail "libcrypto not seen"
    loaded libarchive >/dev/null || fail "libarchive not seen"
    traced_launch "$work/host_tools2"
    loaded libcrypto >/dev/null || fail "libcrypto not seen"
    none_loaded "libX11|libXft|libXrandr|libarchive"
    [ "$(cat "$INSTALL/ai/models/name.txt")" = tools2 ] || fail "tools2 is not the live tool set"
    traced_launch "$work/host_tools1" DISPLAY=:97
    loaded libX11 >/dev/null || fail "libX11 not seen with a display named"
    [ "$(cat "$INSTALL/ai/models/name.txt")" = tools1 ] || fail "tools1 is not the live tool set"'

scenario "without a usable libcrypto a new tool package is refused and the live set stays" eval '
    installed_with tools1
    traced_launch "$work/host_tools2" LD_LIBRARY_PATH="$work/no_crypto"
    loaded libcrypto >/dev/null || fail "the unusable libcrypto was not tried"
    [ "$(cat "$INSTALL/ai/models/name.txt")" = tools1 ] || fail "the live tool set changed"
    [ ! -e "$INSTALL/ai.new" ] || fail "staging directory left"
    grep -q start "$KP_APP_RECORD" || fail "application not started"'

scenario "without usable X libraries the tools are unpacked without a window" eval '
    installed_with tools1
    traced_launch "$work/host_tools2" LD_LIBRARY_PATH="$work/no_x" DISPLAY=:0
    loaded libX11 >/dev/null || fail "the unusable libX11 was not tried"
    [ "$(cat "$INSTALL/ai/models/name.txt")" = tools2 ] || fail "the new tool set is not live"'

for library in crypto archive; do
    scenario "without a usable lib$library nothing is installed and no stamp written" eval '
        new_sandbox
        traced_launch "$work/host_tools1" LD_LIBRARY_PATH="$work/no_'$library'"
        loaded lib'$library' >/dev/null || fail "the unusable library was not tried"
        [ ! -e "$INSTALL/kestrin_pad.exe" ] || fail "application installed"
        [ ! -e "$INSTALL/.kp_build" ] || fail "stamp written"
        [ -z "$(ls -A "$S/tmp")" ] || fail "temporary files left: $(ls "$S/tmp")"
        [ ! -e "$KP_APP_RECORD" ] || fail "an application started"'
done

report_checks
