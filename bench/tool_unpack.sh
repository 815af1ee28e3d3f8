#!/usr/bin/env bash
# Tool package unpacking: kp_refresh_tools into a fresh install directory each run, against the
# tools a user would reach for, in each place (RAM-backed folder, then disk):
#   1 GiB in 4 files       vs sha256sum of the package + cp of the files (and openssl dgst + cp)
#   20,000 files of 4 KiB  vs tar -xf of an uncompressed tar of the same files in the same order
#   in 50 folders          (as a user, not root, runs it), with the entries grouped by folder (as
#                          kpack writes them) and interleaved across the folders (as another
#                          writer may), and in RAM beside both the floor: a bare C loop that
#                          creates the same files by path (open, write, close; bench/programs)
# on disk also the durable forms, since flushing is what a safe unpack costs there:
#   20,000 files of 4 KiB  vs tar -xf + sync -f on its output, in both orders
#   1 GiB in 4 files       vs sha256sum (and openssl dgst) + cp + sync -f on the copy
# and the driver's peak resident memory while it unpacks 1 GiB and (not in quick mode) 4 GiB.
set -euo pipefail
source "$(dirname "$0")/lib/common.sh"
source "$(dirname "$0")/lib/small_files.sh"
unset DISPLAY # no progress window: the copy itself is measured
refresh=$release/kp_refresh_tools
kpack=$release/kpack

make_large_files() {
    local dir=$1 count=$2 mib=$3
    mkdir -p "$dir"
    head -c $((mib * 1024 * 1024)) /dev/urandom >"$dir/onnxruntime.dll"
    for i in $(seq 2 "$count"); do cp "$dir/onnxruntime.dll" "$dir/model$i.bin"; done
}

# 20,000 files of 4 KiB in 50 folders, the probe among them, and two listings of them: grouped
# by folder (as kpack's walk writes them) and interleaved across the folders (entry i in folder
# i mod 50, as another writer may order them), folders first.
make_small_files() {
    local dir=$1
    small_file_tree "$dir" 50 400
    {
        for d in $(seq 1 50); do echo "d$d/"; done
        echo onnxruntime.dll
        for d in $(seq 1 50); do (cd "$dir" && ls "d$d"/*.bin); done
    } >"$w/grouped.list"
    {
        for d in $(seq 1 50); do echo "d$d/"; done
        echo onnxruntime.dll
        for f in $(seq -f '%03g' 0 399); do
            for d in $(seq 1 50); do [ -e "$dir/d$d/f$f.bin" ] && echo "d$d/f$f.bin"; done
        done
    } >"$w/interleaved.list"
}

# The command that clears the output folder DIR before a run. Many small files are set aside
# rather than deleted (and deleted at the end): ext4 without a journal will not reuse an inode
# freed in the last 30 s or so, and scans past every such inode for each file it creates, so
# that deleting 20,000 files before each run makes the next runs, ours and the baseline's,
# mostly that scan (seen here: 0.8 s grew to 19 s).
clear_output() {
    if [ "$set_aside" = 1 ]; then
        echo "[ ! -e '$1' ] || mv '$1' \"\$(mktemp -d '$w/set-aside/XXXXXX')/\""
    else
        echo "rm -rf '$1'"
    fi
}

# compare_unpack TITLE TARGET PACKAGE BASELINE_NAME BASELINE_COMMAND [FLOOR_NAME FLOOR_COMMAND]
compare_unpack() {
    local floor=()
    [ $# -lt 7 ] || floor=(--floor-name "$6" --floor "$7"
        --floor-prepare "$(clear_output "$w/floor") && mkdir '$w/floor' && sync")
    compare --title "$1" --target "$2" \
        --ours-name "kp_refresh_tools" --ours "'$refresh' '$3' '$w/install'" \
        --ours-prepare "$(clear_output "$w/install") && sync" --ours-check "[ -f '$w/install/ai/.kp_ai' ]" \
        --base-name "$4" --base "$5" --base-prepare "$(clear_output "$w/out") && mkdir '$w/out' && sync" \
        "${floor[@]}"
}

# compare_large HASH TARGET: the 1 GiB unpack against HASH of the package + cp of the files, and
# on disk also against the same + sync -f on the copy (the durable form).
compare_large() {
    # 1 GiB of fresh memory a run: on this VM either side now and then pays for the host refilling
    # it (see the README), so these take at least nine runs, as the payload benchmarks do.
    local runs=$((runs < 9 ? 9 : runs))
    local baseline="$1 '$w/large.pkg' && cp -r '$w/large/.' '$w/out/'"
    compare_unpack "1 GiB in 4 files, $place, vs $1 + cp" "$2" "$w/large.pkg" "$1 + cp" "$baseline"
    [[ $place == disk* ]] || return 0
    compare_unpack "1 GiB in 4 files, $place, durable: vs $1 + cp + sync -f" "<= 1.2" "$w/large.pkg" \
        "$1 + cp + sync -f" "$baseline && sync -f '$w/out'"
}

# The unpacked set holds exactly the packaged files.
check_unpacked() {
    diff -r --exclude=.kp_ai "$1" "$w/install/ai" >/dev/null || { echo "the unpacked set differs from $1"; exit 1; }
}

peak_rss() {
    rm -rf "$w/install"
    local kib
    kib=$(/usr/bin/time -f %M "$refresh" "$2" "$w/install" 2>&1 >/dev/null | tail -1)
    [ -f "$w/install/ai/.kp_ai" ] || { echo "the unpack did not publish a tool set"; exit 1; }
    echo "$1: peak resident memory $((kib / 1024)) MiB ($kib KiB; target <= 16 MiB)"
    rm -rf "$w/install"
}

# tar run by root also sets each file's owner and mode (an fchown and an fchmod per file); the
# user who unpacks tools is not root, so the baseline is tar as that user runs it.
tar_x="tar -xf"
[ "$(id -u)" != 0 ] || tar_x="tar --no-same-owner -xf"

set_aside=0
while read -r place dir; do
    work_dir "$dir" unpack
    w=$work
    head -c 4096 /dev/zero >"$w/host"

    make_large_files "$w/large" 4 256
    "$kpack" tools append "$w/host" "$w/large" -o "$w/large.pkg" >/dev/null
    compare_large sha256sum "<= 1.15"
    if [ "$quick" != 1 ]; then
        # The SHA-256 code the driver itself uses (libcrypto): stricter where coreutils' is slower.
        target="<= 1.15"
        [[ $place == disk* ]] && target="none: ours flushes, the baseline does not (see the durable line)"
        compare_large "openssl dgst -sha256" "$target"
    fi
    check_unpacked "$w/large"
    peak_rss "1 GiB unpack, $place" "$w/large.pkg"
    rm -rf "$w/large" "$w/large.pkg" "$w/out" "$w/install"

    set_aside=1
    mkdir "$w/set-aside"
    make_small_files "$w/small"
    target="<= 1.0"
    [[ $place == disk* ]] && target="none: ours flushes, tar does not (see the durable line)"
    for layout in grouped interleaved; do
        # tar in the same order: the folders, then the files as listed.
        tar -cf "$w/$layout.tar" -C "$w/small" --no-recursion -T "$w/$layout.list"
        if [ $layout = grouped ]; then
            "$kpack" tools append "$w/host" "$w/small" -o "$w/$layout.pkg" >/dev/null
        else
            python3 "$bench_lib/write_package.py" "$w/host" "$w/small" "$w/$layout.list" "$w/$layout.pkg"
        fi
        layout_target=$target
        [[ $place == disk* || $layout == interleaved ]] || layout_target="<= 0.9"
        # The floor in RAM only: on disk every side's write-back makes it noisy, and the files it
        # leaves to set aside and delete would lengthen the run by minutes.
        floor=("bare C loop" "'$release/bench_create_files' '$w/floor' '$w/$layout.list' 4096")
        [[ $place != disk* ]] || floor=()
        compare_unpack "20,000 files of 4 KiB in 50 folders, $layout, $place, vs tar -xf" "$layout_target" \
            "$w/$layout.pkg" "$tar_x" "$tar_x '$w/$layout.tar' -C '$w/out'" "${floor[@]}"
        if [[ $place == disk* ]]; then
            compare_unpack "20,000 files of 4 KiB in 50 folders, $layout, $place, durable: vs tar -xf + sync -f" \
                "<= 1.2" "$w/$layout.pkg" "$tar_x + sync -f" \
                "$tar_x '$w/$layout.tar' -C '$w/out' && sync -f '$w/out'"
        fi
        check_unpacked "$w/small"
        rm -f "$w/$layout.tar" "$w/$layout.pkg"
    done
    set_aside=0
    rm -rf "$w"
done < <(places)

# 4 GiB in four files, on disk: the memory stays what it was for 1 GiB.
if [ "$quick" != 1 ]; then
    work_dir "$disk_dir" unpack-huge
    w=$work
    head -c 4096 /dev/zero >"$w/host"
    make_large_files "$w/huge" 4 1024
    "$kpack" tools append "$w/host" "$w/huge" -o "$w/huge.pkg" >/dev/null
    rm -rf "$w/huge"
    peak_rss "4 GiB unpack, disk" "$w/huge.pkg"
fi
