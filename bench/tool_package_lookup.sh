#!/usr/bin/env bash
# Deciding "no package" and "package found" must not depend on the host image's size: the same
# decision on a 1 GiB image (sparse) and on a 12 KiB one, timed side by side in one run, their
# repetitions interleaved; the small image is the baseline. In each place (RAM-backed folder,
# then disk). Prints both times and the ratio for each decision.
set -euo pipefail
source "$(dirname "$0")/lib/common.sh"

while read -r place dir; do
    work_dir "$dir" lookup

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
        --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true \
        --benchmark_report_aggregates_only=true \
        "no package, 1 GiB=$work/large_plain" "no package, 12 KiB=$work/small_plain" \
        "package found, 1 GiB=$work/large_package" "package found, 12 KiB=$work/small_package" \
        >"$work/result.json"

    python3 - "$work/result.json" "$place" <<'PY'
import json, sys
results = json.load(open(sys.argv[1]))['benchmarks']
median = {r['run_name']: r for r in results if r.get('aggregate_name') == 'median'}
print(f'tool package lookup (open, size, content end, trailer, close), {sys.argv[2]}: '
      'median of 5 repetitions, interleaved')
for decision in ('no package', 'package found'):
    large, small = median[decision + ', 1 GiB'], median[decision + ', 12 KiB']
    assert large.get('label') == small.get('label') == decision, (large.get('label'), small.get('label'))
    unit = large['time_unit']
    for name, r in (('1 GiB image', large), ('12 KiB image (baseline)', small)):
        print(f'  {decision:14} {name:24} wall {r["real_time"]:9.2f} {unit}   cpu {r["cpu_time"]:9.2f} {unit}')
    print(f'  {decision:14} {"ratio":24} wall {large["real_time"] / small["real_time"]:9.2f}      '
          f'cpu {large["cpu_time"] / small["cpu_time"]:9.2f}  (target about 1)')
PY
    rm -rf "$work"
done < <(places)
