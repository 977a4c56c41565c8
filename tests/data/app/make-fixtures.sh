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

# methods.zip: one Deflate entry and three in methods the program does not
# extract (Tokenized twice, PKWARE DCL Imploding once: stored bytes under
# those method numbers, patched into the local and central headers); fixed
# DOS times.
python3 - <<'PY'
import struct, zipfile
entries = [
    ("plain.txt", 8, b"plain words\n" * 20),
    ("tokenized-a.txt", 7, b"tokens one\n" * 30),
    ("dcl.txt", 10, b"dcl two\n" * 30),
    ("tokenized-b.txt", 7, b"tokens three\n" * 30),
]
with zipfile.ZipFile("methods.zip", "w") as z:
    for name, method, data in entries:
        info = zipfile.ZipInfo(name, date_time=(2021, 5, 6, 7, 8, 10))
        info.compress_type = zipfile.ZIP_DEFLATED if method == 8 else zipfile.ZIP_STORED
        info.external_attr = 0o644 << 16
        z.writestr(info, data)
raw = bytearray(open("methods.zip", "rb").read())
with zipfile.ZipFile("methods.zip") as z:
    infos = z.infolist()
central = raw.index(b"PK\x01\x02")
for (name, method, data), info in zip(entries, infos):
    struct.pack_into("<H", raw, info.header_offset + 8, method)
    struct.pack_into("<H", raw, central + 10, method)
    nlen, xlen, clen = struct.unpack_from("<HHH", raw, central + 28)
    central += 46 + nlen + xlen + clen
open("methods.zip", "wb").write(raw)
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
