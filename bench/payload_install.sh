#!/usr/bin/env bash
# install_payload of a ~200 MiB deflated application archive with many files, from app.enc into a
# fresh install directory, against two `openssl enc -d` passes plus `unzip -o` of the same
# app.enc, in each place (RAM-backed folder, then disk: app.enc, the install directory and the
# temporary archive all there). Ours counts only when stamped: the stamp comes after every file
# was read back and verified. Prints the medians, the ratio and our peak resident memory.
set -euo pipefail
source "$(dirname "$0")/lib/common.sh"
source "$bench_lib/payload_keys.sh"

# About 270 MiB of text-like content in 1,650 files over 16 folders, which deflates to ~200 MiB.
work_dir "$shm_dir" install-inputs
inputs=$work
python3 - "$inputs/app" <<'PY'
import base64, os, random, sys
root = sys.argv[1]
rng = random.Random(7)
os.makedirs(root)
with open(os.path.join(root, "kestrin_pad.exe"), "wb") as f:
    f.write(os.urandom(4 << 20))
os.chmod(os.path.join(root, "kestrin_pad.exe"), 0o755)
for i in range(1650):
    folder = os.path.join(root, "data%02d" % (i % 16))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "part%04d.bin" % i), "wb") as f:
        f.write(base64.b64encode(os.urandom(rng.randint(48 << 10, 200 << 10))))
PY
(cd "$inputs/app" && zip -q -r "$inputs/archive.zip" .)
"$release/kpack" payload encrypt "$inputs/archive.zip" "$inputs/app.enc"
archive_bytes=$(stat -c %s "$inputs/archive.zip")
rm "$inputs/archive.zip"
limit_kib=$(echo "(3.1 * $archive_bytes + 16 * 1048576) / 1024" | bc)
mib=$(echo "scale=1; $archive_bytes / 1048576" | bc)

while read -r place dir; do
    work_dir "$dir" install
    w=$work
    mkdir "$w/launcher" "$w/tmp"
    cp "$inputs/app.enc" "$w/launcher/"
    sync
    compare --title "payload installation, $mib MiB archive, $place" --target "<= 1.2" \
        --rss-limit-kib "$limit_kib" \
        --ours-name "install_payload" \
        --ours "TMPDIR='$w/tmp' '$release/kp_install_payload' '$w/launcher' '$w/ours'" \
        --ours-prepare "rm -rf '$w/ours' && sync" \
        --ours-check "[ -x '$w/ours/kestrin_pad.exe' ] && [ -s '$w/ours/.kp_build' ] && [ -z \"\$(ls -A '$w/tmp')\" ]" \
        --base-name "openssl enc -d twice + unzip -o" \
        --base "openssl enc -d -aes-256-cbc -K $outer_key -iv $outer_iv -in '$w/launcher/app.enc' -out '$w/inner.bin' &&
                openssl enc -d -aes-256-cbc -K $inner_key -iv $inner_iv -in '$w/inner.bin' -out '$w/plain.zip' &&
                unzip -o -q '$w/plain.zip' -d '$w/theirs'" \
        --base-prepare "rm -rf '$w/theirs' '$w/inner.bin' '$w/plain.zip' && sync"
    diff -r "$inputs/app" "$w/ours" --exclude=.kp_build >/dev/null || { echo "the installation differs"; exit 1; }
    diff -r "$inputs/app" "$w/theirs" >/dev/null || { echo "the baseline's copy differs"; exit 1; }
    rm -rf "$w"
done < <(places)
