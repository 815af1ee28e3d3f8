# Shared by the launcher scenario suites. Sourced; expects $work (a scratch folder) and $bin to be set.
source "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"

scenario() { check "$1" in_subshell "${@:2}"; }
in_subshell() { ("$@"); }
fail() {
    echo "$*"
    exit 1
}
build_id() { grep -oE 'BUILD_ID = u"[^"]*"' "$1/generated/build_config.hpp" | sed -E 's/.*u"(.*)"/\1/'; }
# require_programs NAME...: each is built in $bin, or the suite ends as one failure.
require_programs() {
    local program
    for program; do
        [ -x "$bin/$program" ] || { echo "missing $bin/$program (build it first)"; echo "0 passed, 1 failed"; exit 1; }
    done
}
# The home directory of the account the launcher runs as, where its mutex lives.
account_home() { getent passwd "$(id -u)" | cut -d: -f6; }
utf16() { printf '%s' "$1" | iconv -f UTF-8 -t UTF-16LE; }
utf16_text() { iconv -f UTF-16LE -t UTF-8 <"$1"; }
# The identifier in the trailer at the end of a host image (bytes 24..55 of the last 64).
package_id() { tail -c 64 "$1" | dd bs=1 skip=24 count=32 status=none; }

# new_sandbox [STAMP-TEXT]: a fresh machine of user folders in $S, the launcher and $work/app.enc in
# $S/bin; with STAMP-TEXT, an older installation ($work/old_app) stamped with it.
new_sandbox() {
    S=$(mktemp -d "$work/sandbox.XXXXXX")
    mkdir -p "$S/home" "$S/data" "$S/tmp" "$S/run" "$S/bin"
    export HOME=$S/home XDG_DATA_HOME=$S/data TMPDIR=$S/tmp XDG_RUNTIME_DIR=$S/run KP_APP_RECORD=$S/record.txt
    cp "$bin/kp_launcher" "$work/app.enc" "$S/bin/"
    INSTALL=$S/data/KestrinPadFree
    [ $# -eq 0 ] || install_old "$1"
}
install_old() {
    mkdir -p "$INSTALL"
    cp "$work/old_app" "$INSTALL/kestrin_pad.exe"
    utf16 "$1" >"$INSTALL/.kp_build"
}
# make_material APP HOST ENC PREFIX [SUFFIX]: ENC holds APP as kestrin_pad.exe (kept in $work/app),
# $work/old_app is an older build, PREFIX{plain,tools1,tools2,big}SUFFIX are HOST without and with
# tool packages of $work/tools*; tools_big is large enough that launchers meet at the mutex.
make_material() {
    local app=$1 host=$2 enc=$3 prefix=$4 suffix=${5:-} set
    mkdir -p "$work/app"
    cp "$app" "$work/app/kestrin_pad.exe"
    (cd "$work/app" && zip -q -X ../app.zip kestrin_pad.exe)
    "$bin/kpack" payload encrypt "$work/app.zip" "$enc" || return 1
    cp "$app" "$work/old_app"
    printf 'older build' >>"$work/old_app"
    cp "$host" "${prefix}plain$suffix"
    for set in tools1 tools2 tools_big; do
        mkdir -p "$work/$set/models"
        head -c 300000 /dev/urandom >"$work/$set/onnxruntime.dll"
        head -c 700000 /dev/urandom >"$work/$set/models/vision.onnx"
        echo "tool set $set" >"$work/$set/README.txt"
        [ $set = tools_big ] && head -c 150000000 /dev/urandom >"$work/$set/models/large.onnx"
        "$bin/kpack" tools append "${prefix}plain$suffix" "$work/$set" -o "$prefix${set#tools_}$suffix" || return 1
    done
}

# started_once RECORD LINE: the application started exactly once, recording LINE.
started_once() {
    wait_lines "$1" 1 || fail "application not started"
    sleep 0.3
    [ "$(line_count "$1")" -eq 1 ] || fail "started $(line_count "$1") times"
    tr -d '\r' <"$1" | grep -qxF "$2" || fail "unexpected record: $(cat "$1") (expected $2)"
}

# eight_launchers INSTALL RECORD HOST COMMAND...: eight COMMANDs at once with HOST's new package of
# $work/tools_big: exactly one unpack, every application started, the tools current.
eight_launchers() {
    local install=$1 record=$2 host=$3 pids=() status=0
    shift 3
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
    wait_lines "$record" 8 || fail "only $(line_count "$record") applications started"
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
# (by default the staging folder: one per unpack).
watch_unpacks() {
    python3 - "$1" "$2" "${3:-ai.new}" <<'PY' &
import ctypes, os, struct, sys
libc = ctypes.CDLL(None, use_errno=True)
fd = libc.inotify_init()
if libc.inotify_add_watch(fd, sys.argv[1].encode(), 0x100) < 0:  # IN_CREATE
    sys.exit(1)
count = 0
open(sys.argv[2], "w").write("0\n")
while True:
    data, i = os.read(fd, 65536), 0
    while i < len(data):
        size = struct.unpack_from("iIII", data, i)[3]
        if data[i + 16:i + 16 + size].startswith(sys.argv[3].encode()):
            count += 1
            open(sys.argv[2], "w").write("%d\n" % count)
        i += 16 + size
PY
    WATCHER=$!
    for _ in $(seq 50); do [ -s "$2" ] && return 0; sleep 0.1; done
    return 1
}
