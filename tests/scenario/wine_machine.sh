# A Windows machine under Wine for the launcher suites: a virtual screen, a fresh prefix, and the
# shell's automation object served by the test stand-in (Wine has no zip folders). Sourced after
# common.sh; expects $win and $work. open_wine_machine sets the EXIT trap that stops it.

# start_xvfb: a black 1280x800 screen on a display Xvfb picks itself, so that suites running at
# once never meet on one; DISPLAY is exported once it serves, its pid added to xvfbs. -noreset
# keeps root properties when the last client goes.
xvfbs=()
start_xvfb() {
    rm -f "$work/display"
    Xvfb -displayfd 3 -screen 0 1280x800x24 -br -noreset -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
    local pid=$!
    xvfbs+=("$pid")
    while kill -0 "$pid" 2>/dev/null && [ ! -s "$work/display" ]; do sleep 0.1; done
    [ -s "$work/display" ] && export DISPLAY=:$(head -1 "$work/display")
}
# boot_wine: a fresh, initialised prefix (scripts/wine-env).
boot_wine() {
    source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine-env"
    wine cmd /c exit >/dev/null 2>&1
}
stop_wine_machine() {
    declare -F wine_env_cleanup >/dev/null && wine_env_cleanup
    for pid in "${xvfbs[@]}"; do kill "$pid" 2>/dev/null; done
    return 0
}
# open_wine_machine FILE...: each FILE is there (else the suite ends as one failure); then the
# machine starts, stopped and $work removed at exit. Sets BUILD (the build identifier of $win),
# INSTALL_WIN, INSTALL (its Unix path), KP (C:\kp, which holds the stand-in), RECORD (where the
# application records its start) and the START_LINE it records there.
open_wine_machine() {
    require_programs "$@"
    BUILD=$(build_id "$win")
    trap 'stop_wine_machine; rm -rf "$work"' EXIT
    start_xvfb
    boot_wine
    INSTALL_WIN="$(win_var LOCALAPPDATA)\\KestrinPadFree"
    INSTALL=$(winepath -u "$INSTALL_WIN" 2>/dev/null)
    INSTALL=${INSTALL%/}
    KP=$WINEPREFIX/drive_c/kp
    export KP_APP_RECORD='C:\kp\record.txt'
    RECORD=$KP/record.txt
    START_LINE="start	argc=1	cwd=$INSTALL_WIN	cmdline=\"$INSTALL_WIN\\kestrin_pad.exe\""
    mkdir -p "$KP"
    cp "$win/kp_shell_stand_in.dll" "$KP/"
    local key='HKCR\CLSID\{13709620-C279-11CE-A49E-444553540000}\InprocServer32'
    { wine reg add "$key" /ve /d 'C:\kp\kp_shell_stand_in.dll' /f &&
        wine reg add "$key" /v ThreadingModel /d Apartment /f; } >/dev/null 2>&1 || fail "stand-in not registered"
}
win_var() { wine cmd /c echo "%$1%" 2>/dev/null | tr -d '\r'; }

# watch_for_window ... window_seen: the launcher's window was on screen in between.
watch_for_window() {
    rm -f "$work/window"
    (for _ in $(seq 1200); do
        xdotool search --onlyvisible --class kp_launcher >/dev/null 2>&1 && echo seen >"$work/window" && break
        sleep 0.05
    done) &
    WINDOW_WATCHER=$!
}
window_seen() {
    kill "$WINDOW_WATCHER" 2>/dev/null
    [ -s "$work/window" ] || fail "no progress window was seen"
}
