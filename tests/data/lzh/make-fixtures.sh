#!/bin/sh
# Makes the LZH fixtures with jlha (Debian package jlha-utils) and records what
# lsar (The Unarchiver) lists for each, as <archive>.lsar.json.
#   level0.lzh  header level 0, -lh5- (and -lh0- for data that does not shrink)
#   level1.lzh  header level 1, -lh6-, a folder (-lhd-) and a file inside it
#   level2.lzh  header level 2, -lh7-, a folder (-lhd-) and a file inside it
#   stored.lzh  header level 2, everything -lh0-
# Run from this folder: sh make-fixtures.sh
set -eu
export TZ=UTC
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

mkdir sub
python3 - <<'PY'
import random
random.seed(4)
open('a.txt', 'w').write('hello world\n' * 40)
open('c.txt', 'w').write('The quick brown fox jumps over the lazy dog. ' * 30)
open('sub/b.bin', 'wb').write(bytes(random.getrandbits(8) for _ in range(300)))
# A CRC-16 of 0x8000 or more shows the sign extension of CRC32.
open('sub/d.txt', 'w').write('0123456789abcdef' * 70)
PY
touch -d '2021-03-04 05:06:08' a.txt
touch -d '2019-12-31 23:59:58' c.txt
touch -d '2000-02-29 12:00:00' sub/b.bin
touch -d '1999-07-15 08:30:42' sub/d.txt
touch -d '2022-06-01 10:20:30' sub

rm -f "$here"/*.lzh "$here"/*.lsar.json
jlha c0o5 level0.lzh a.txt c.txt sub/b.bin >/dev/null
jlha c1o6 level1.lzh a.txt sub c.txt >/dev/null
jlha c2o7 level2.lzh a.txt sub c.txt >/dev/null
jlha c2z stored.lzh a.txt c.txt >/dev/null

for f in level0 level1 level2 stored; do
    cp "$f.lzh" "$here/"
    lsar -j "$f.lzh" > "$here/$f.lzh.lsar.json"
done
