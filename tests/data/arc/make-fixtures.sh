#!/usr/bin/env bash
# Makes the ARC fixtures (8.3 names: arc cuts longer ones) with arc 5.21 (stored, crunched, packed and squashed
# entries, CRC-16 values above 0x7FFF) and records The Unarchiver's listing of
# each (`lsar -j`) next to it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export TZ=UTC

cd "$work"
python3 - <<'PY'
import random
r = random.Random(1951)
open('random.bin', 'wb').write(bytes(r.randrange(256) for _ in range(3000)))
open('runs.txt', 'w').write(''.join(c * 200 for c in 'abcdefghij'))
open('text.txt', 'w').write(' '.join('the quick brown fox jumps over the lazy dog %d' % i for i in range(80)))
open('LONGNAME.TXT', 'w').write('twelve chars\n')
PY
touch -d '2021-03-04 05:06:08' random.bin
touch -d '1995-10-11 12:13:14' runs.txt
touch -d '2009-06-30 23:58:00' text.txt
touch -d '1980-01-01 00:00:00' LONGNAME.TXT

rm -f "$here"/*.arc
# Default: arc picks the best method per file (stored, crunched here).
arc a "$here/default.arc" random.bin runs.txt text.txt LONGNAME.TXT
# Squash instead of crunch (packed and squashed entries).
arc aq "$here/squashed.arc" runs.txt text.txt
# Store only.
arc as "$here/stored.arc" text.txt LONGNAME.TXT

for a in default.arc squashed.arc stored.arc; do
  (cd "$here" && lsar -j "$a") > "$here/$a.lsar.json"
done
