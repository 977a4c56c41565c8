#!/usr/bin/env bash
# Makes the Deflate64 fixtures: two generated inputs packed by 7-Zip with
# method Deflate64 at a fast and at the strongest level. The inputs repeat
# material 33..65 KiB back, so the streams use distance codes 30 and 31, and
# hold zero runs, so they use length 257 (symbol 284). Needs python3 and 7z.
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 - "$work" <<'PY'
import random, sys
out = sys.argv[1]
rng = random.Random(1951)
words = "deflate window length distance block huffman literal stored final archive entry header".split()
def para():
    return (" ".join(rng.choice(words) for _ in range(rng.randint(20, 90))) + ".\n").encode()
paras = [para() for _ in range(60)]
text = bytearray()
while len(text) < 160_000:
    # mostly fresh text, now and then a paragraph from 33..65 KiB back
    if len(text) > 70_000 and rng.random() < 0.3:
        start = len(text) - rng.randint(33_000, 65_000)
        text += text[start:start + rng.randint(40, 600)]
    else:
        text += rng.choice(paras)[: rng.randint(10, 400)] + bytes([rng.randint(33, 126)])
open(f"{out}/far_text.txt", "wb").write(text)
mixed = bytearray()
while len(mixed) < 120_000:
    r = rng.random()
    if r < 0.15:
        mixed += bytes(rng.randint(200, 3000))
    elif r < 0.6:
        for _ in range(rng.randint(1, 40)):
            mixed += rng.randint(0, 4000).to_bytes(4, "little") + bytes([rng.randint(0, 3)])
    elif r < 0.8 and len(mixed) > 66_000:
        start = len(mixed) - rng.randint(32_800, 65_500)
        mixed += mixed[start:start + rng.randint(3, 1000)]
    else:
        mixed += bytes(rng.randint(0, 255) for _ in range(rng.randint(1, 200)))
open(f"{out}/mixed.bin", "wb").write(mixed)
PY
for level in 1 9; do
  rm -f "deflate64_mx$level.zip"
  (cd "$work" && 7z a -tzip -mm=Deflate64 -mx=$level -bd -bso0 "deflate64_mx$level.zip" far_text.txt mixed.bin)
  mv "$work/deflate64_mx$level.zip" .
done
ls -l *.zip
