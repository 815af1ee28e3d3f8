#!/usr/bin/env bash
# install_payload of a ~200 MiB deflated application archive with many files, from app.enc into a
# fresh install directory, against two `openssl enc -d` passes plus `unzip -o` of the same
# app.enc in the same run. Prints the medians, the ratio and our peak resident memory.
set -euo pipefail
release=${KP_RELEASE_DIR:-build/release}
work=$(mktemp -d "${TMPDIR:-/tmp}/kp-bench-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
runs=${KP_BENCH_RUNS:-3}

source "$(dirname "$0")/lib/payload_keys.sh"

# About 270 MiB of text-like content in 1,650 files over 16 folders, which deflates to ~200 MiB.
mkdir -p "$work/app" "$work/launcher" "$work/tmp"
python3 - "$work/app" <<'EOF'
import base64, os, random, sys
root = sys.argv[1]
rng = random.Random(7)
with open(os.path.join(root, "kestrin_pad.exe"), "wb") as f:
    f.write(os.urandom(4 << 20))
os.chmod(os.path.join(root, "kestrin_pad.exe"), 0o755)
for i in range(1650):
    folder = os.path.join(root, "data%02d" % (i % 16))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "part%04d.bin" % i), "wb") as f:
        f.write(base64.b64encode(os.urandom(rng.randint(48 << 10, 200 << 10))))
EOF
(cd "$work/app" && zip -q -r "$work/archive.zip" .)
"$release/kpack" payload encrypt "$work/archive.zip" "$work/launcher/app.enc"
archive_bytes=$(stat -c %s "$work/archive.zip")

now() { date +%s.%N; }
median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

ours=() baseline=() peaks=()
for _ in $(seq "$runs"); do
    rm -rf "$work/ours" "$work/theirs" "$work/inner.bin" "$work/plain.zip"
    start=$(now)
    TMPDIR="$work/tmp" /usr/bin/time -f '%M' -o "$work/rss" "$release/kp_install_payload" "$work/launcher" "$work/ours"
    ours+=("$(echo "$(now) - $start" | bc -l)")
    peaks+=("$(cat "$work/rss")")

    start=$(now)
    openssl enc -d -aes-256-cbc -K "$outer_key" -iv "$outer_iv" -in "$work/launcher/app.enc" -out "$work/inner.bin"
    openssl enc -d -aes-256-cbc -K "$inner_key" -iv "$inner_iv" -in "$work/inner.bin" -out "$work/plain.zip"
    unzip -o -q "$work/plain.zip" -d "$work/theirs"
    baseline+=("$(echo "$(now) - $start" | bc -l)")
done
diff -r "$work/app" "$work/ours" --exclude=.kp_build >/dev/null
diff -r "$work/app" "$work/theirs" >/dev/null
[ -x "$work/ours/kestrin_pad.exe" ]
[ -z "$(ls -A "$work/tmp")" ]

ours_median=$(printf '%s\n' "${ours[@]}" | median)
baseline_median=$(printf '%s\n' "${baseline[@]}" | median)
peak_kib=$(printf '%s\n' "${peaks[@]}" | sort -g | tail -1)
limit_kib=$(echo "(3.1 * $archive_bytes + 16 * 1048576) / 1024" | bc)
printf 'payload installation, %.1f MiB archive, median of %d runs\n' "$(echo "$archive_bytes / 1048576" | bc -l)" "$runs"
printf '  ours (install_payload):                    %.3f s\n' "$ours_median"
printf '  openssl enc -d twice + unzip -o:           %.3f s\n' "$baseline_median"
printf '  ratio ours/baseline:                       %.2f (target <= 1.2)\n' "$(echo "$ours_median / $baseline_median" | bc -l)"
printf '  our peak resident memory:                  %d MiB (limit %d MiB = 3.1 x archive + 16 MiB)\n' \
    $((peak_kib / 1024)) $((limit_kib / 1024))
