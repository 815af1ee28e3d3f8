# Shared by the suites: result bookkeeping, and the machine, material and checks of the launcher
# scenarios. Sourced; expects $work (a scratch folder) and, for the scenarios, $bin (the native
# build: kpack, and on POSIX the launcher) to be set.
source "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"

scenario() { check "$1" in_subshell "${@:2}"; }
in_subshell() { ("$@"); }
fail() {
    echo "$*"
    exit 1
}
build_id() { grep -oE 'BUILD_ID = u"[^"]*"' "$1/generated/build_config.hpp" | sed -E 's/.*u"(.*)"/\1/'; }
# require_programs FILE...: each is built, or the suite ends as one failure.
require_programs() {
    local program
    for program; do
        [ -e "$program" ] || { echo "missing $program (build it first)"; echo "0 passed, 1 failed"; exit 1; }
    done
}
# The home directory of the account the launcher runs as, where its mutex lives.
account_home() { getent passwd "$(id -u)" | cut -d: -f6; }
utf16() { printf '%s' "$1" | iconv -f UTF-8 -t UTF-16LE; }
utf16_text() { iconv -f UTF-16LE -t UTF-8 <"$1"; }
# The identifier in the trailer at the end of a host image (bytes 24..55 of the last 64).
package_id() { tail -c 64 "$1" | dd bs=1 skip=24 count=32 status=none; }

# encrypt_folder FOLDER ENC: FOLDER's tree zipped (beside it, without extra fields) and encrypted
# into ENC.
encrypt_folder() {
    rm -f "$1.zip"
    (cd "$1" && zip -q -X -r "$1.zip" .) && "$bin/kpack" payload encrypt "$1.zip" "$2" >/dev/null
}
# make_material APP HOST ENC PREFIX SUFFIX SET...: ENC holds APP as kestrin_pad.exe ($NEW), $OLD is
# an older build, PREFIXplainSUFFIX is HOST and, for each SET of tools1, tools2 and tools_big,
# PREFIX{tools1,tools2,big}SUFFIX carries a tool package of $work/SET. tools_big is large enough
# that launchers meet at the mutex and the progress window is up for a while.
NEW=$work/app/kestrin_pad.exe OLD=$work/old_app
make_material() {
    local set
    mkdir -p "$work/app"
    cp "$1" "$NEW"
    encrypt_folder "$work/app" "$3" || return 1
    cp "$1" "$OLD"
    printf 'older build' >>"$OLD"
    cp "$2" "${4}plain$5"
    for set in "${@:6}"; do
        mkdir -p "$work/$set/models"
        head -c 300000 /dev/urandom >"$work/$set/onnxruntime.dll"
        head -c 700000 /dev/urandom >"$work/$set/models/vision.onnx"
        echo "tool set $set" >"$work/$set/README.txt"
        [ $set = tools_big ] && head -c 150000000 /dev/urandom >"$work/$set/models/large.onnx"
        "$bin/kpack" tools append "${4}plain$5" "$work/$set" -o "$4${set#tools_}$5" >/dev/null || return 1
    done
}

# new_sandbox [STAMP-TEXT]: a fresh machine of user folders in $S, the launcher and $work/app.enc in
# $S/bin; with STAMP-TEXT, the older build installed and stamped with it.
new_sandbox() {
    S=$(mktemp -d "$work/sandbox.XXXXXX")
    mkdir -p "$S/home" "$S/data" "$S/tmp" "$S/run" "$S/bin"
    export HOME=$S/home XDG_DATA_HOME=$S/data TMPDIR=$S/tmp XDG_RUNTIME_DIR=$S/run KP_APP_RECORD=$S/record.txt
    RECORD=$KP_APP_RECORD
    cp "$bin/kp_launcher" "$work/app.enc" "$S/bin/"
    INSTALL=$S/data/KestrinPadFree
    [ $# -eq 0 ] || install_old "$1"
}
install_old() {
    mkdir -p "$INSTALL"
    cp "$OLD" "$INSTALL/kestrin_pad.exe"
    utf16 "$1" >"$INSTALL/.kp_build"
}
# launch HOST ARGUMENTS...: the sandbox's launcher started by HOST, which waits for it.
launch() { "$1" "$S/bin/kp_launcher" "${@:2}" || fail "launcher exit code $?"; }
# run_installed_app: the installed application running from the install folder (pid in $APP,
# killed when the scenario's subshell ends).
run_installed_app() {
    KP_APP_LINGER_MS=20000 KP_APP_RECORD=$S/lingering.txt "$INSTALL/kestrin_pad.exe" >/dev/null &
    APP=$!
    trap 'kill $APP 2>/dev/null' EXIT
    wait_lines "$S/lingering.txt" 1 || fail "lingering application did not start"
}

# started: the application started exactly once, recording $START_LINE (by default, started from
# $INSTALL as POSIX resolves it); the record goes, for the next start.
started() {
    local line=${START_LINE:-"start	argc=1	cwd=$INSTALL	cmdline=[$INSTALL/kestrin_pad.exe]"}
    wait_lines "$RECORD" 1 || fail "application not started"
    sleep 0.3
    [ "$(line_count "$RECORD")" -eq 1 ] || fail "started $(line_count "$RECORD") times"
    tr -d '\r' <"$RECORD" | grep -qxF "$line" || fail "unexpected record: $(cat "$RECORD") (expected $line)"
    rm "$RECORD"
}
# installed APP STAMP-TEXT: APP is the installed executable, the stamp holds STAMP-TEXT, and in a
# sandbox no temporary file is left.
installed() {
    cmp -s "$INSTALL/kestrin_pad.exe" "$1" || fail "the installed executable is not $1"
    stamp_is "$2"
    [ -z "${S:-}" ] || [ -z "$(ls -A "$S/tmp")" ] || fail "temporary files left: $(ls "$S/tmp")"
}
stamp_is() {
    local stamp
    stamp=$(utf16_text "$INSTALL/.kp_build" 2>/dev/null)
    [ "$stamp" = "$1" ] || fail "stamp '$stamp', not '$1'"
}

# eight_launchers INSTALL HOST COMMAND...: eight COMMANDs at once with HOST's new package of
# $work/tools_big: exactly one unpack, every application started, the tools current.
eight_launchers() {
    local install=$1 host=$2 pids=() status=0
    shift 2
    watch_unpacks "$install" "$work/unpacks" || fail "watcher did not start"
    for _ in $(seq 8); do
        "$@" &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do wait "$pid" || status=1; done
    sleep 0.5
    kill "$WATCHER"
    [ $status -eq 0 ] || fail "a launcher failed"
    [ "$(cat "$work/unpacks")" = 1 ] || fail "unpacked $(cat "$work/unpacks") times"
    wait_lines "$RECORD" 8 || fail "only $(line_count "$RECORD") applications started"
    tools_current "$install" "$work/tools_big" "$host"
}

wait_lines() { # FILE N: up to 60 s (a process started under Wine on a busy machine took over 20 s)
    for _ in $(seq 600); do
        [ -f "$1" ] && [ "$(wc -l <"$1")" -ge "$2" ] && return 0
        sleep 0.1
    done
    return 1
}
line_count() { [ -f "$1" ] && wc -l <"$1" || echo 0; }

# tools_current INSTALL TOOLS HOST: TOOLS' files, marked with HOST's package id, no slot left over.
tools_current() {
    diff -r -x .kp_ai "$2" "$1/ai" || fail "tools differ from the package"
    [ "$(utf16_text "$1/ai/.kp_ai")" = "$(package_id "$3")" ] || fail "tools marker is not the package id"
    [ ! -e "$1/ai.new" ] && [ ! -e "$1/ai.old" ] || fail "a staging or previous slot is left"
}

# watch_unpacks DIR COUNT-FILE [NAME]: counts the items created in DIR whose names start with NAME
# (by default the staging folder: one per unpack); the watcher's pid in $WATCHER.
watch_unpacks() {
    python3 - "$1" "$2" "${3:-ai.new}" <<'PY' &
import ctypes, os, struct, sys
libc = ctypes.CDLL(None)
fd = libc.inotify_init()
if libc.inotify_add_watch(fd, sys.argv[1].encode(), 0x100) < 0:  # IN_CREATE
    sys.exit(1)
count = 0
while True:
    open(sys.argv[2], "w").write("%d\n" % count)
    data, i = os.read(fd, 65536), 0
    while i < len(data):
        size = struct.unpack_from("iIII", data, i)[3]
        count += data[i + 16:i + 16 + size].startswith(sys.argv[3].encode())
        i += 16 + size
PY
    WATCHER=$!
    for _ in $(seq 50); do [ -s "$2" ] && return 0; sleep 0.1; done
    return 1
}

# inspected FILE PATTERN...: "$kpack tools inspect" reads FILE's tool package (listing in FILE.txt),
# and each PATTERN matches a line of the listing.
inspected() {
    local pattern
    "$kpack" tools inspect "$1" >"$1.txt" || { cat "$1.txt"; return 1; }
    for pattern in "${@:2}"; do
        grep -q -- "$pattern" "$1.txt" || { cat "$1.txt"; echo "no line matches $pattern"; return 1; }
    done
}
