#!/usr/bin/env bash
# decrypt_payload on a 256 MiB archive against two `openssl enc -d` passes over the same app.enc,
# both from file to file, in the same run. Prints the medians and the ratio.
set -euo pipefail
release=${KP_RELEASE_DIR:-build/release}
work=$(mktemp -d "${TMPDIR:-/tmp}/kp-bench-decrypt.XXXXXX")
trap 'rm -rf "$work"' EXIT
runs=${KP_BENCH_RUNS:-5}

source "$(dirname "$0")/lib/payload_keys.sh"

head -c $((256 * 1024 * 1024)) /dev/urandom >"$work/archive.zip"
"$release/kpack" payload encrypt "$work/archive.zip" "$work/app.enc"

now() { date +%s.%N; }
median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

ours=() baseline=() inside=()
for _ in $(seq "$runs"); do
    start=$(now)
    line=$("$release/kp_decrypt_payload" "$work/app.enc" "$work/ours.zip")
    ours+=("$(echo "$(now) - $start" | bc -l)")
    inside+=("$(echo "$line" | grep -oE '[0-9.]+ GB/s' | grep -oE '[0-9.]+')")
    start=$(now)
    openssl enc -d -aes-256-cbc -K "$outer_key" -iv "$outer_iv" -in "$work/app.enc" -out "$work/inner.bin"
    openssl enc -d -aes-256-cbc -K "$inner_key" -iv "$inner_iv" -in "$work/inner.bin" -out "$work/openssl.zip"
    baseline+=("$(echo "$(now) - $start" | bc -l)")
done
cmp "$work/ours.zip" "$work/archive.zip"
cmp "$work/openssl.zip" "$work/archive.zip"

ours_median=$(printf '%s\n' "${ours[@]}" | median)
baseline_median=$(printf '%s\n' "${baseline[@]}" | median)
inside_median=$(printf '%s\n' "${inside[@]}" | median)
printf 'payload decryption, 256 MiB, median of %d runs\n' "$runs"
printf '  ours (read, decrypt_payload, write):  %.3f s\n' "$ours_median"
printf '  openssl enc -d, two passes:            %.3f s\n' "$baseline_median"
printf '  ratio ours/baseline:                   %.2f (target <= 1.0)\n' "$(echo "$ours_median / $baseline_median" | bc -l)"
printf '  decrypt_payload alone:                 %.2f GB/s (target > 1 GB/s)\n' "$inside_median"
