# A Windows machine under Wine for the launcher suites: a virtual screen, a fresh prefix, and the
# shell's automation object served by the test stand-in (Wine has no zip folders). Sourced after
# common.sh; expects $win and $work. open_wine_machine sets the EXIT trap that stops it.

# start_wine_machine: Xvfb on a display it picks itself, so that suites running at once never
# meet on one (DISPLAY exported once it serves, pid in $xvfb), then a fresh, initialised prefix
# (scripts/wine-env).
start_wine_machine() {
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
    xvfb=$!
    while kill -0 "$xvfb" 2>/dev/null && [ ! -s "$work/display" ]; do sleep 0.1; done
    export DISPLAY=:$(head -1 "$work/display")
    source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine-env"
    wine cmd /c exit >/dev/null 2>&1
}
stop_wine_machine() {
    declare -F wine_env_cleanup >/dev/null && wine_env_cleanup
    [ -n "${xvfb:-}" ] && kill "$xvfb" 2>/dev/null
    return 0
}
# open_wine_machine FILE...: each FILE is there (else the suite ends as one failure); then the
# machine starts, stopped and $work removed at exit, and BUILD (the build identifier of $win),
# INSTALL_WIN, INSTALL (its Unix path) and KP (C:\kp) are set.
open_wine_machine() {
    local program
    for program; do
        [ -e "$program" ] || { echo "missing $program (build it first)"; echo "0 passed, 1 failed"; exit 1; }
    done
    BUILD=$(build_id "$win")
    trap 'stop_wine_machine; rm -rf "$work"' EXIT
    start_wine_machine
    INSTALL_WIN="$(win_var LOCALAPPDATA)\\KestrinPadFree"
    INSTALL=$(winepath -u "$INSTALL_WIN" 2>/dev/null)
    INSTALL=${INSTALL%/}
    KP=$WINEPREFIX/drive_c/kp
}
win_var() { wine cmd /c echo "%$1%" 2>/dev/null | tr -d '\r'; }

# register_shell_stand_in DLL: the stand-in at Windows path DLL serves CLSID_Shell in this prefix.
register_shell_stand_in() {
    local key='HKCR\CLSID\{13709620-C279-11CE-A49E-444553540000}\InprocServer32'
    wine reg add "$key" /ve /d "$1" /f >/dev/null 2>&1 &&
        wine reg add "$key" /v ThreadingModel /d Apartment /f >/dev/null 2>&1
}
