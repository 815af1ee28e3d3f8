# Writes the seed corpora of the fuzz targets: small host images with and without
# packages, signed and unsigned, made from the format alone. Run: python3 fuzz/make_corpus.py
import hashlib, struct, os
out = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'corpus')
os.makedirs(out, exist_ok=True)

def pe(magic=0x20B, lfanew=0x40):
    img = bytearray(lfanew + 24 + 240)
    img[0:2] = b'MZ'
    struct.pack_into('<i', img, 60, lfanew)
    img[lfanew:lfanew+4] = b'PE\0\0'
    o = lfanew + 24
    struct.pack_into('<H', img, o, magic)
    struct.pack_into('<I', img, o + (108 if magic == 0x20B else 92), 16)
    while len(img) % 8: img.append(0)
    return img

def entry(name, data):
    n = name.encode('utf-16-le')
    return struct.pack('<I', len(n)) + n + struct.pack('<Q', len(data)) + data

def package(host, entries):
    stream = b''.join(entry(n, d) for n, d in entries)
    img = bytearray(host) + stream
    while (len(img) + 64) % 8: img.append(0)
    ident = hashlib.sha256(stream).hexdigest()[:32].encode()
    img += b'KPAIPAK1' + struct.pack('<QQ', len(host), len(stream)) + ident + b'\0' * 8
    return img

def sign(img, magic=0x20B, lfanew=0x40, table=16):
    img = bytearray(img)
    o = lfanew + 24 + (144 if magic == 0x20B else 128)
    struct.pack_into('<II', img, o, len(img), table)
    return img + b'\x30' * table

files = [('onnxruntime.dll', b'hello'), ('models\\a.onnx', b'abc'), ('models\\empty', b'')]
seeds = {
    'pe64_package': package(pe(), files),
    'pe64_signed_package': sign(package(pe(), files)),
    'pe32_signed_package': sign(package(pe(0x10B), files), magic=0x10B),
    'pe32_plain': pe(0x10B),
    'bare_package': package(b'', files),
    'refused_name': package(pe(), [('..\\evil.dll', b'x')]),
}
for name, data in seeds.items():
    open(os.path.join(out, name), 'wb').write(data)
    print(name, len(data))

# The refresh target's seeds: a first byte that picks the slots' state (0 to 4), then an image.
refresh = os.path.join(os.path.dirname(out), 'corpus_refresh_tools')
os.makedirs(refresh, exist_ok=True)
for name in ('pe64_package', 'bare_package', 'refused_name'):
    for state in range(5):
        open(os.path.join(refresh, '%s_%d' % (name, state)), 'wb').write(bytes([state]) + seeds[name])

# The zip directory reader's seeds: archives as zip writers make them, Zip64 included.
import io, zipfile
zips = os.path.join(os.path.dirname(out), 'corpus_zip_directory')
os.makedirs(zips, exist_ok=True)

def archive(items, force_zip64=False, comment=b''):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, 'w', zipfile.ZIP_DEFLATED) as z:
        for name, data in items:
            info = zipfile.ZipInfo(name, (2024, 1, 1, 0, 0, 0))
            with z.open(info, 'w', force_zip64=force_zip64) as f:
                f.write(data)
        z.comment = comment
    return buffer.getvalue()

app = [('kestrin_pad.exe', b'MZ' * 40), ('data/', b''), ('data/flutter_assets/a.json', b'{}'),
       ('caf\u00e9/\u03b1.txt', b'utf8 name')]
zip_seeds = {
    'plain': archive(app),
    'zip64': archive(app, force_zip64=True),
    'comment': archive(app[:1], comment=b'PK\x05\x06 inside a comment'),
    'duplicate': archive([('a.txt', b'1'), ('A.TXT', b'2')]),
    'unsafe': archive([('../x', b'1')]),
    'empty': archive([]),
}
for name, data in zip_seeds.items():
    open(os.path.join(zips, name), 'wb').write(data)
    print(name, len(data))
