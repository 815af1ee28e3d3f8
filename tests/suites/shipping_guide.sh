#!/usr/bin/env bash
# Runs the release pipeline of docs/shipping.md exactly as written (its sh block), on a sample
# application, tool set and host, then checks what it made: app.enc decrypts to the folder's
# files, the signed host verifies and carries the tools in front of its certificate table, and the
# Windows release kit is complete and reproducible.
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/kp-shipping.XXXXXX")
trap 'rm -rf "$work"' EXIT
source tests/scenario/common.sh
host=$root/build/windows/kp_test_host.exe
kpack=$root/build/release/kpack
require_programs "$host" "$kpack"
mkdir -p "$work/ship/app/data" "$work/ship/tools/models"
printf 'MZ application' >"$work/ship/app/kestrin_pad.exe"
printf 'settings' >"$work/ship/app/data/settings.json"
head -c 200000 /dev/urandom >"$work/ship/tools/onnxruntime.dll"
printf 'model' >"$work/ship/tools/models/vision.onnx"
cp "$host" "$work/ship/host.exe"

awk '/^```sh$/ { on = 1; next } /^```$/ { on = 0 } on' docs/shipping.md >"$work/guide.sh"
check "the guide holds a pipeline" test -s "$work/guide.sh"
check "the pipeline runs as written" env SHIP="$work/ship" bash -e "$work/guide.sh"

payload_round_trips() {
    "$kpack" payload decrypt "$work/ship/app.enc" "$work/app.zip" &&
        mkdir "$work/unzipped" && (cd "$work/unzipped" && unzip -q "$work/app.zip") &&
        diff -r "$work/ship/app" "$work/unzipped"
}
check "app.enc holds exactly the application folder" payload_round_trips
check "the shipped host verifies and carries the tools" inspected "$work/ship/release/host-signed.exe" \
    'identifier: *verified' '^certificate_table: *[1-9]' 'models\\vision.onnx'
check "the launcher ships beside app.enc" test -f "$work/ship/release/kp_launcher.exe"

# The kit: SHA256SUMS names every other file, and a second cpack run gives the same bytes though
# the files it takes were touched in between (their times are SOURCE_DATE_EPOCH).
every_file_summed() {
    cd "$work/ship/kit" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | sort | diff - <(awk '{ print $2 }' SHA256SUMS)
}
second_kit_is_the_same() {
    touch "$root/build/windows/build_identity.txt" "$root/build/windows/kpack.debug" &&
        cpack --config "$root/build/windows/CPackConfig.cmake" -B "$work/kit2" >/dev/null &&
        cmp "$root"/build/windows/package/*.zip "$work"/kit2/*.zip
}
check "SHA256SUMS lists every other file of the kit" every_file_summed
check "a second kit of the build is the same bytes" second_kit_is_the_same
report_checks
