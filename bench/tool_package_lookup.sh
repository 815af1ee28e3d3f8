#!/usr/bin/env bash
# Deciding "no package" and "package found" must not depend on the host image's size: the same
# decision on a 1 GiB image (sparse) and on a 4 KiB one, timed side by side in one run; the small
# image is the baseline. Prints both times and the ratio for each decision.
set -euo pipefail
release=${KP_RELEASE_DIR:-build/release}
work=$(mktemp -d "${TMPDIR:-/tmp}/kp-bench-lookup.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Host images: a PE header, zeros up to the size asked (sparse), and optionally a package with a
# certificate table after it, as a signed host carries it.
python3 - "$work" <<'PY'
import hashlib, os, struct, sys
work = sys.argv[1]

def header():
    image = bytearray(0x40 + 24 + 240)
    image[0:2] = b'MZ'
    struct.pack_into('<i', image, 60, 0x40)
    image[0x40:0x44] = b'PE\0\0'
    struct.pack_into('<H', image, 0x40 + 24, 0x20B)
    struct.pack_into('<I', image, 0x40 + 24 + 108, 16)
    return image

def write(name, size, packaged):
    name_bytes = 'onnxruntime.dll'.encode('utf-16-le')
    data = b'\x01' * 4096
    stream = struct.pack('<I', len(name_bytes)) + name_bytes + struct.pack('<Q', len(data)) + data
    with open(os.path.join(work, name), 'wb') as f:
        f.write(header())
        if not packaged:
            f.truncate(size)
            return
        offset = size - len(stream) - 64 - 2048
        f.seek(offset)
        f.write(stream)
        digest = hashlib.sha256(stream).hexdigest()[:32].encode()
        f.write(b'KPAIPAK1' + struct.pack('<QQ', offset, len(stream)) + digest + bytes(8))
        table_offset = f.tell()
        f.write(b'\x30' * 2048)
        f.seek(0x40 + 24 + 144)
        f.write(struct.pack('<II', table_offset, 2048))

for label, size in (('small', 4096 * 3), ('large', 1 << 30)):
    write(label + '_plain', size, False)
    write(label + '_package', size, True)
PY

"$release/tool_package_lookup" --benchmark_format=json --benchmark_min_time=0.5 \
    --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    "no package, 1 GiB=$work/large_plain" "no package, 12 KiB=$work/small_plain" \
    "package found, 1 GiB=$work/large_package" "package found, 12 KiB=$work/small_package" \
    >"$work/result.json"

python3 - "$work/result.json" <<'PY'
import json, sys
results = json.load(open(sys.argv[1]))['benchmarks']
median = {r['run_name']: (r['cpu_time'], r['time_unit'], r.get('label', '')) for r in results
          if r.get('aggregate_name') == 'median'}
print('tool package lookup (open, size, content end, trailer, close), CPU time, median of 5 repetitions')
for decision in ('no package', 'package found'):
    large, unit, label_large = median[decision + ', 1 GiB']
    small, _, label_small = median[decision + ', 12 KiB']
    assert label_large == label_small == decision, (label_large, label_small)
    print(f'  {decision:14} 1 GiB image: {large:8.2f} {unit}   12 KiB image (baseline): {small:8.2f} {unit}'
          f'   ratio {large / small:.2f} (target about 1)')
PY
