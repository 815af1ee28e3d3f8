#!/usr/bin/env bash
# The tool package on a real, signed Windows executable: kpack appends it, osslsigncode signs the
# result with a throw-away certificate and accepts the signature, and the reader finds the package
# in front of the certificate table. kpack.exe does the same under Wine, and a package written by
# an independent script from the format alone is read as well.
# Uses build/dev (native kpack) and build/windows (kpack.exe, kp_tests.exe); KP_NATIVE_DIR and
# KP_WINDOWS_DIR name other build directories.
set -uo pipefail
cd "$(dirname "$0")/../.."
native_dir=${KP_NATIVE_DIR:-build/dev}
windows_dir=${KP_WINDOWS_DIR:-build/windows}
kpack=$(realpath -m "$native_dir/kpack")
kpack_exe=$(realpath -m "$windows_dir/kpack.exe")

work=$(mktemp -d "${TMPDIR:-/tmp}/kp-signed-host.XXXXXX")
source tests/scenario/common.sh
require_programs "$kpack" "$kpack_exe"
source scripts/wine-env
trap 'wine_env_cleanup; rm -rf "$work"' EXIT

# A tool set with a subdirectory, and a real PE host: the cross-built kpack.exe.
mkdir -p "$work/tools/models"
head -c 300000 /dev/urandom >"$work/tools/onnxruntime.dll"
printf 'model' >"$work/tools/models/vision.onnx"
: >"$work/tools/models/empty.bin"
cp "$kpack_exe" "$work/host.exe"
cd "$work"

openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 1 -subj "/CN=kp test signer" \
    >/dev/null 2>&1

signature_covers_package() {
    # A byte changed inside the entry stream breaks the signature.
    cp signed.exe tampered.exe
    local offset
    offset=$(grep '^package_offset:' signed.exe.txt | grep -oE '[0-9]+')
    printf '\x00' | dd of=tampered.exe bs=1 seek=$((offset + 100)) conv=notrunc status=none
    ! osslsigncode verify -CAfile cert.pem tampered.exe
}

check "kpack tools append to a real PE" "$kpack" tools append host.exe tools -o unsigned.exe
unsigned_size=$(stat -c %s unsigned.exe)
check "appended file ends on an 8-byte boundary" test $((unsigned_size % 8)) -eq 0
check "osslsigncode signs it" osslsigncode sign -certs cert.pem -key key.pem -in unsigned.exe -out signed.exe
check "osslsigncode verify accepts the signature" osslsigncode verify -CAfile cert.pem signed.exe
check "reader finds the package in front of the certificate table" inspected signed.exe \
    "^content_end: *$unsigned_size$" "^certificate_table: *[1-9]" 'models\\vision.onnx' 'identifier: *verified'
check "the signature covers the package" signature_covers_package

# kpack.exe under Wine: the same output, and it reads the signed file too.
check "kpack.exe tools append under Wine" wine "$kpack_exe" tools append host.exe tools -o wine_unsigned.exe
check "kpack.exe writes the same bytes as kpack" cmp unsigned.exe wine_unsigned.exe
check "kpack.exe tools inspect under Wine reads the signed file" wine "$kpack_exe" tools inspect signed.exe

# An independent writer of the format: entries, padding, then the trailer with the identifier.
python3 - host.exe scripted.exe <<'PY'
import hashlib, struct, sys
host = open(sys.argv[1], 'rb').read()
entries = [('onnxruntime.dll', b'\x00' * 1000), ('lib\\a.bin', bytes(range(256))), ('lib\\b', b'')]
stream = b''
for name, data in entries:
    encoded = name.encode('utf-16-le')
    stream += struct.pack('<I', len(encoded)) + encoded + struct.pack('<Q', len(data)) + data
identifier = hashlib.sha256(stream).hexdigest()[:32].encode('ascii')
trailer = b'KPAIPAK1' + struct.pack('<QQ', len(host), len(stream)) + identifier + b'\xff' * 8
open(sys.argv[2], 'wb').write(host + stream + b'\x00' * 3 + trailer)
PY
check "a package written by an independent script is read" inspected scripted.exe 'lib\\a.bin' 'identifier: *verified'

report_checks
