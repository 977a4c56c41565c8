#!/usr/bin/env bash
# Makes the small archives the window tests list and extract. Needs python3
# and Info-ZIP zip. Run from this folder; the outputs are committed.
set -euo pipefail
cd "$(dirname "$0")"

python3 - <<'PY'
import zipfile
# six.zip: a folder entry, then five files; fixed DOS times, Deflate.
entries = [
    ("docs/", None, (2008, 3, 14, 0, 0, 0)),
    ("docs/readme.txt", b"read me\n" * 40, (2008, 3, 14, 9, 26, 52)),
    ("one.txt", b"one\n" * 100, (2010, 1, 2, 3, 4, 6)),
    ("two.txt", b"two\n" * 300, (2010, 1, 2, 3, 4, 8)),
    ("data.bin", bytes(range(256)) * 12, (2011, 7, 8, 12, 0, 0)),
    ("three.txt", b"three\n", (2012, 12, 31, 23, 59, 58)),
]
with zipfile.ZipFile("six.zip", "w") as z:
    for name, data, when in entries:
        info = zipfile.ZipInfo(name, date_time=when)
        if data is None:
            info.external_attr = 0o40755 << 16 | 0x10
            z.writestr(info, b"")
        else:
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = 0o644 << 16
            z.writestr(info, data)
PY

# methods.zip: one Deflate entry and three in methods no tool writes any more
# and the program does not extract (Tokenizing twice, PKWARE DCL Implode
# once): written stored, then the method fields of their local and central
# headers set to 7 and 10; fixed DOS times.
python3 - <<'PY'
import struct, zipfile
entries = [
    ("plain.txt", zipfile.ZIP_DEFLATED, b"plain words\n" * 20, None),
    ("tokenized-a.txt", zipfile.ZIP_STORED, b"tokens one\n" * 30, 7),
    ("dcl.txt", zipfile.ZIP_STORED, b"dcl two\n" * 30, 10),
    ("tokenized-b.txt", zipfile.ZIP_STORED, b"tokens three\n" * 30, 7),
]
with zipfile.ZipFile("methods.zip", "w") as z:
    for name, method, data, _ in entries:
        info = zipfile.ZipInfo(name, date_time=(2021, 5, 6, 7, 8, 10))
        info.compress_type = method
        info.external_attr = 0o644 << 16
        z.writestr(info, data)
raw = bytearray(open("methods.zip", "rb").read())
with zipfile.ZipFile("methods.zip") as z:
    infos = z.infolist()
central = raw.index(b"PK\x01\x02")
for info, (_, _, _, patched) in zip(infos, entries):
    if patched is None:
        continue
    struct.pack_into("<H", raw, info.header_offset + 8, patched)
    at = raw.index(b"PK\x01\x02", central)
    while raw[at + 46:at + 46 + len(info.filename)] != info.filename.encode():
        at = raw.index(b"PK\x01\x02", at + 4)
    struct.pack_into("<H", raw, at + 10, patched)
open("methods.zip", "wb").write(bytes(raw))
PY

# secret.zip: one file under the traditional ZIP password "velmora" (zip
# draws its encryption header at random, so a rerun changes its bytes).
tmp=$(mktemp -d)
printf 'hidden words\n' > "$tmp/secret.txt"
touch -d '2015-05-05 10:20:30' "$tmp/secret.txt"
(cd "$tmp" && zip -q -X -P velmora secret.zip secret.txt)
mv "$tmp/secret.zip" secret.zip
rm -rf "$tmp"

# pair.tgz: a gzip file without a stored name holding a ustar archive of a
# folder and two files.
tmp=$(mktemp -d)
mkdir -p "$tmp/pair/notes"
printf 'alpha\n' > "$tmp/pair/a.txt"
printf 'beta beta\n' > "$tmp/pair/notes/b.txt"
touch -d '2019-06-01 08:30:00' "$tmp/pair/a.txt" "$tmp/pair/notes/b.txt" "$tmp/pair/notes" "$tmp/pair"
(cd "$tmp" && tar --no-recursion --format=ustar --owner=0 --group=0 --numeric-owner -cf pair.tar pair/a.txt pair/notes pair/notes/b.txt)
gzip -n -9 -c "$tmp/pair.tar" > pair.tgz
rm -rf "$tmp"
