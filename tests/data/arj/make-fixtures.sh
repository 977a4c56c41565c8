#!/bin/sh
# Makes the ARJ fixtures with arj 3.10 (Debian package arj) and records what
# lsar (The Unarchiver) lists for each, as <archive>.lsar.json (and 7-Zip for
# owner.arj, which lsar lists only in part, as owner.arj.7z.txt).
#   methods.arj  host UNIX (Unix times, 46-byte first headers): methods 0-4, an
#                entry comment, a garbled (-g) entry, a directory, archive comment
#   dos.arj      -2d: host MS-DOS, DOS date-times
#   owner.arj    -2o: owner names in an extended header after each local header
# Run from this folder: sh make-fixtures.sh
set -eu
export TZ=UTC
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

python3 - <<'PY'
import random
random.seed(5)
open('a.txt', 'w').write('hello world\n' * 40)
open('c.txt', 'w').write('The quick brown fox jumps over the lazy dog. ' * 30)
open('d.txt', 'w').write('0123456789abcdef' * 70)
open('e.txt', 'w').write('ARJ archive listing fixture\n' * 20)
open('f.txt', 'w').write('method four ' * 50)
open('g.bin', 'wb').write(bytes(random.getrandbits(8) for _ in range(300)))
PY
mkdir dir
touch -d '2021-03-04 05:06:08' a.txt
touch -d '2019-12-31 23:59:58' c.txt
touch -d '2000-02-29 12:00:00' d.txt
touch -d '1999-07-15 08:30:42' e.txt
touch -d '2024-11-05 17:45:10' f.txt
touch -d '2010-01-01 00:00:00' g.bin
touch -d '2022-06-01 10:20:30' dir
printf 'comment of a.txt\n' > entry.cmt
printf 'archive comment\n' > archive.cmt

rm -f "$here"/*.arj "$here"/*.lsar.json "$here"/*.7z.txt
arj a methods.arj -m0 a.txt >/dev/null
arj a methods.arj -m1 c.txt >/dev/null
arj a methods.arj -m2 d.txt >/dev/null
arj a methods.arj -m3 e.txt >/dev/null
arj a methods.arj -m4 f.txt >/dev/null
arj a methods.arj -m1 -gsecret g.bin >/dev/null
arj a methods.arj -a1 -r 'dir*' >/dev/null
arj c methods.arj a.txt -jzentry.cmt >/dev/null
arj c methods.arj -zarchive.cmt >/dev/null

arj a dos.arj -2d -m1 a.txt c.txt >/dev/null
arj a owner.arj -2o -m1 a.txt c.txt >/dev/null

for f in methods dos owner; do
    cp "$f.arj" "$here/"
    # lsar exits non-zero when it lists only part of an archive.
    lsar -j "$f.arj" > "$here/$f.arj.lsar.json" || true
done
7z l -slt owner.arj | sed -n '/^----------$/,$p' > "$here/owner.arj.7z.txt"
