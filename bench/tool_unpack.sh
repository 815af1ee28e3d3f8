#!/usr/bin/env bash
# Tool package unpacking, timed against its single-threaded limits in the same run:
#   1 GiB of a few large files: kp_refresh_tools vs sha256sum of the package + cp of the files
#                               (and vs openssl dgst -sha256 + cp)
#   20,000 files of 4 KiB:      kp_refresh_tools vs tar -xf of an uncompressed tar of them
# and the driver's peak resident memory while it unpacks 1 GiB and 4 GiB packages.
# Each time is the best of ROUNDS runs, ours and the baseline taking turns.
set -euo pipefail
release=${KP_RELEASE_DIR:-$(cd "$(dirname "$0")/.." && pwd)/build/release}
refresh=$release/kp_refresh_tools
kpack=$release/kpack
rounds=${ROUNDS:-3}
for program in "$refresh" "$kpack"; do
    [ -x "$program" ] || { echo "missing $program (build the release preset)"; exit 1; }
done
command -v /usr/bin/time >/dev/null || { echo "missing /usr/bin/time"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/kp-bench-unpack.XXXXXX")
trap 'rm -rf "$work"' EXIT
unset DISPLAY # no progress window: the copy itself is measured
head -c 4096 /dev/zero >"$work/host"

now_ns() { date +%s%N; }
seconds() { awk -v ns="$1" 'BEGIN { printf "%.3f", ns / 1e9 }'; }

# Elapsed nanoseconds of one refresh into a fresh install directory.
time_ours() {
    local package=$1
    rm -rf "$work/install"
    sync
    local start end
    start=$(now_ns)
    "$refresh" "$package" "$work/install"
    end=$(now_ns)
    [ -f "$work/install/ai/.kp_ai" ] || { echo "the unpack did not publish a tool set" >&2; exit 1; }
    echo $((end - start))
}

# Elapsed nanoseconds of a baseline command run after its output directory was cleared.
time_baseline() {
    rm -rf "$work/out"
    mkdir "$work/out"
    sync
    local start end
    start=$(now_ns)
    "$@" >/dev/null
    end=$(now_ns)
    echo $((end - start))
}

hash_and_copy() { sha256sum "$1" && cp -r "$2/." "$work/out/"; }
# The same with the SHA-256 code the driver itself uses (libcrypto): a stricter limit where
# coreutils' own SHA-256 is slower.
openssl_hash_and_copy() { openssl dgst -sha256 "$1" && cp -r "$2/." "$work/out/"; }
untar() { tar -xf "$1" -C "$work/out"; }

compare() {
    local label=$1 target=$2 package=$3
    shift 3
    local best_ours=0 best_base=0 ours base
    for _ in $(seq "$rounds"); do
        ours=$(time_ours "$package")
        base=$(time_baseline "$@")
        if [ "$best_ours" -eq 0 ] || [ "$ours" -lt "$best_ours" ]; then best_ours=$ours; fi
        if [ "$best_base" -eq 0 ] || [ "$base" -lt "$best_base" ]; then best_base=$base; fi
    done
    local ratio
    ratio=$(awk -v a="$best_ours" -v b="$best_base" 'BEGIN { printf "%.3f", a / b }')
    echo "$label: ours $(seconds "$best_ours") s, baseline $(seconds "$best_base") s, ratio $ratio (target <= $target)"
}

peak_rss() {
    local label=$1 package=$2
    rm -rf "$work/install"
    local kib
    kib=$(/usr/bin/time -f %M "$refresh" "$package" "$work/install" 2>&1 >/dev/null | tail -1)
    [ -f "$work/install/ai/.kp_ai" ] || { echo "the unpack did not publish a tool set" >&2; exit 1; }
    echo "$label: peak RSS $((kib / 1024)) MiB ($kib KiB; target <= 16 MiB)"
    rm -rf "$work/install"
}

make_large_files() {
    local dir=$1 count=$2 mib=$3
    mkdir -p "$dir"
    head -c $((mib * 1024 * 1024)) /dev/urandom >"$dir/onnxruntime.dll"
    for i in $(seq 2 "$count"); do cp "$dir/onnxruntime.dll" "$dir/model$i.bin"; done
}

# 1 GiB in four files.
make_large_files "$work/large" 4 256
"$kpack" tools append "$work/host" "$work/large" -o "$work/large.pkg" >/dev/null
compare "1 GiB, 4 files vs sha256sum + cp" 1.15 "$work/large.pkg" hash_and_copy "$work/large.pkg" "$work/large"
compare "1 GiB, 4 files vs openssl dgst -sha256 + cp" 1.15 "$work/large.pkg" \
    openssl_hash_and_copy "$work/large.pkg" "$work/large"
peak_rss "1 GiB unpack" "$work/large.pkg"
rm -rf "$work/large" "$work/out"

# 20,000 files of 4 KiB in 20 directories.
mkdir -p "$work/small"
head -c 4096 /dev/urandom >"$work/small/onnxruntime.dll"
for d in $(seq 1 20); do
    mkdir "$work/small/d$d"
    head -c $((4096 * 1000)) /dev/urandom | split -b 4096 -d -a 4 --additional-suffix=.bin - "$work/small/d$d/f"
done
rm "$work/small/d1/f0000.bin" # 20,000 files with the probe
tar -cf "$work/small.tar" -C "$work/small" .
"$kpack" tools append "$work/host" "$work/small" -o "$work/small.pkg" >/dev/null
rm -rf "$work/small"
compare "20,000 files of 4 KiB" 1.2 "$work/small.pkg" untar "$work/small.tar"
rm -rf "$work/small.pkg" "$work/small.tar" "$work/out"

# 4 GiB in four files: the memory stays what it was for 1 GiB.
make_large_files "$work/huge" 4 1024
"$kpack" tools append "$work/host" "$work/huge" -o "$work/huge.pkg" >/dev/null
rm -rf "$work/huge"
peak_rss "4 GiB unpack" "$work/huge.pkg"
