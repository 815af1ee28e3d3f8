# Shared by the launcher scenario suites: the package material, the result bookkeeping and the
# checks on an install directory. Sourced; expects $work (a scratch folder) to be set.

source "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"

# scenario NAME FUNCTION: runs FUNCTION in a subshell (its sandbox and environment stay there).
scenario() {
    local name=$1
    shift
    check "$name" in_subshell "$@"
}
in_subshell() { ("$@"); }

# Ends the scenario (each runs in its own subshell) with a message.
fail() {
    echo "$*"
    exit 1
}

build_id() { grep -oE 'BUILD_ID = u"[^"]*"' "$1/generated/build_config.hpp" | sed -E 's/.*u"(.*)"/\1/'; }

utf16() { printf '%s' "$1" | iconv -f UTF-8 -t UTF-16LE; }
utf16_text() { iconv -f UTF-16LE -t UTF-8 <"$1"; }

# The identifier in the trailer at the end of a host image (bytes 24..55 of the last 64).
package_id() { tail -c 64 "$1" | dd bs=1 skip=24 count=32 status=none; }

# append_tools HOST DIR OUT: HOST with a tool package of DIR's files appended.
append_tools() {
    "$bin/kpack" tools append "$1" "$2" -o "$3" || return 1
}

make_tool_set() { # DIR SEED
    mkdir -p "$1/models"
    head -c 300000 /dev/urandom >"$1/onnxruntime.dll"
    head -c 700000 /dev/urandom >"$1/models/vision.onnx"
    echo "tool set $2" >"$1/README.txt"
}

# make_material APP HOST ENC PREFIX [SUFFIX]: ENC holds this build's application (APP named
# kestrin_pad.exe, also kept in $work/app), $work/old_app is an older one (other bytes), and
# PREFIX{plain,tools1,tools2,big}SUFFIX are HOST without and with tool packages of $work/tools*.
make_material() {
    local app=$1 host=$2 enc=$3 prefix=$4 suffix=${5:-}
    mkdir -p "$work/app"
    cp "$app" "$work/app/kestrin_pad.exe"
    (cd "$work/app" && zip -q -X ../app.zip kestrin_pad.exe)
    "$bin/kpack" payload encrypt "$work/app.zip" "$enc" || return 1
    cp "$app" "$work/old_app"
    printf 'older build' >>"$work/old_app"
    cp "$host" "${prefix}plain$suffix"
    # tools_big is large enough that its unpack lasts: launchers meet at the mutex, a window shows.
    for set in tools1 tools2 tools_big; do
        make_tool_set "$work/$set" "$set"
        [ $set = tools_big ] && head -c 150000000 /dev/urandom >"$work/$set/models/large.onnx"
        append_tools "${prefix}plain$suffix" "$work/$set" "$prefix${set#tools_}$suffix" || return 1
    done
}

# started_once RECORD LINE: the application started exactly once, recording LINE.
started_once() {
    wait_lines "$1" 1 || fail "application not started"
    sleep 0.3
    [ "$(line_count "$1")" -eq 1 ] || fail "started $(line_count "$1") times"
    tr -d '\r' <"$1" | grep -qxF "$2" || fail "unexpected record: $(cat "$1") (expected $2)"
}

# eight_launchers INSTALL RECORD HOST COMMAND...: eight COMMANDs at once, one new tool package
# (HOST's, of $work/tools_big): exactly one unpack, every application started, the tools current.
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

# wait_lines FILE N: waits (up to 20 s) until FILE has at least N lines.
wait_lines() {
    local i
    for i in $(seq 200); do
        [ -f "$1" ] && [ "$(wc -l <"$1")" -ge "$2" ] && return 0
        sleep 0.1
    done
    return 1
}

line_count() { [ -f "$1" ] && wc -l <"$1" || echo 0; }

# tools_current INSTALL TOOLS HOST: the tool set is TOOLS' files, its marker HOST's package id,
# and no staging or previous slot is left.
tools_current() {
    local install=$1 tools=$2 host=$3
    [ -d "$install/ai" ] || fail "no tools directory"
    diff -r -x .kp_ai "$tools" "$install/ai" || fail "tools differ from the package"
    [ "$(utf16_text "$install/ai/.kp_ai")" = "$(package_id "$host")" ] || fail "tools marker is not the package id"
    [ ! -e "$install/ai.new" ] && [ ! -e "$install/ai.old" ] || fail "a staging or previous slot is left"
}

# Counts the staging folders created in a directory (one per unpack), into a file.
watch_unpacks() { # DIR COUNT-FILE
    python3 - "$1" "$2" <<'PY' &
import ctypes, os, struct, sys
libc = ctypes.CDLL(None, use_errno=True)
fd = libc.inotify_init()
IN_CREATE = 0x100
if libc.inotify_add_watch(fd, sys.argv[1].encode(), IN_CREATE) < 0:
    sys.exit(1)
count = 0
open(sys.argv[2], "w").write("0\n")
while True:
    data = os.read(fd, 65536)
    i = 0
    while i < len(data):
        _, mask, _, size = struct.unpack_from("iIII", data, i)
        if data[i + 16:i + 16 + size].rstrip(b"\0") == b"ai.new":
            count += 1
            open(sys.argv[2], "w").write("%d\n" % count)
        i += 16 + size
PY
    WATCHER=$!
    for _ in $(seq 50); do [ -s "$2" ] && return 0; sleep 0.1; done
    return 1
}
