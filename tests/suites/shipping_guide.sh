#!/usr/bin/env bash
# docs/shipping.md runs as written: its sh blocks, in order, in one shell, on a fresh working
# folder with a stand-in application, tool set and host. Then the results are checked: the
# package verifies in front of the signature, app.enc holds the application at its root, and
# kpack --version's key fingerprint is the SHA-256 of the configured keys.
set -uo pipefail
cd "$(dirname "$0")/../.."
KP=$(pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/kp-shipping.XXXXXX")
trap 'rm -rf "$work"' EXIT
source tests/support/checks.sh
win=$KP/build/windows

for program in "$win/kp_test_app.exe" "$win/kp_test_host.exe"; do
    [ -e "$program" ] || { echo "missing $program (build the windows preset first)"; echo "0 passed, 1 failed"; exit 1; }
done
mkdir -p "$work/case/app/data" "$work/case/tools/models"
cp "$win/kp_test_app.exe" "$work/case/app/kestrin_pad.exe"
echo "settings" >"$work/case/app/data/settings.ini"
head -c 300000 /dev/urandom >"$work/case/tools/onnxruntime.dll"
head -c 1000 /dev/urandom >"$work/case/tools/models/vision.onnx"
cp "$win/kp_test_host.exe" "$work/case/host.exe"

# The guide's sh blocks as one script.
awk '/^```sh$/ { inside = 1; next } /^```$/ { inside = 0; next } inside' docs/shipping.md >"$work/guide.sh"

guide_runs() { (cd "$work/case" && KP=$KP bash -euo pipefail "$work/guide.sh" >"$work/guide.log" 2>&1) || { tail -20 "$work/guide.log"; return 1; }; }
shipped_files() { for f in kp_launcher.exe app.enc host.exe; do [ -s "$work/case/ship/$f" ] || return 1; done; }
package_verified() { grep -q '^identifier: *verified' "$work/guide.log" && grep -q '^certificate_table: *[1-9]' "$work/guide.log"; }
application_at_root() { grep -q '^application_at_root: yes' "$work/guide.log" && grep -q '"application_at_root":true' "$work/case/ship-report.json"; }
key_fingerprint() {
    local cache=$KP/build/release/CMakeCache.txt keys="" name
    for name in OUTER_KEY OUTER_IV INNER_KEY INNER_IV; do
        keys+=$(grep -E "^KP_PAYLOAD_$name:" "$cache" | cut -d= -f2)
    done
    local expected
    expected=$(printf '%s' "$keys" | xxd -r -p | sha256sum | cut -c1-16)
    grep -qx "payload_keys: *$expected" "$work/guide.log"
}
refuses_a_nested_folder() { # zipping the folder instead of its contents
    (cd "$work/case" && mkdir -p nested && cp -r app nested/ && (cd nested && zip -qr ../nested.zip app)) &&
        ! "$KP/build/release/kpack" payload encrypt "$work/case/nested.zip" "$work/case/nested.enc" 2>"$work/err" &&
        grep -q "zip the folder's contents" "$work/err" && [ ! -e "$work/case/nested.enc" ]
}

check "docs/shipping.md runs as written" guide_runs
check "ship/ holds kp_launcher.exe, app.enc and the signed host" shipped_files
check "the package verifies in front of the signature" package_verified
check "app.enc holds kestrin_pad.exe at its root" application_at_root
check "kpack --version fingerprints the configured payload keys" key_fingerprint
check "a zip of the folder itself is refused" refuses_a_nested_folder
report_checks
