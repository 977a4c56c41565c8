#!/usr/bin/env bash
# Makes the traditional-encryption (ZipCrypto) fixtures with Info-ZIP zip and
# 7-Zip. The 12-byte encryption headers are random, so each run gives other
# bytes; the tests only rely on the passwords and contents below.
#   infozip.zip   zip -P secret: plain.txt stored (-0), then text.txt deflated
#   7zip.zip      7z -mem=ZipCrypto -psecret: plain.txt stored, text.txt deflated
#   infozip-utf8.zip  zip -P 'pässwort' given as UTF-8 text: text.txt deflated
# (7-Zip 26 refuses a non-ASCII password for ZipCrypto: E_INVALIDARG.)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

printf 'Velmora ZipCrypto fixture: a short stored line.\n' > plain.txt
for i in $(seq 1 200); do
  printf 'Line %03d of the deflated member, repeated so that deflate has work to do.\n' "$i"
done > text.txt
touch -d '2021-03-04 05:06:08' plain.txt text.txt

rm -f "$here"/infozip.zip "$here"/7zip.zip "$here"/infozip-utf8.zip
zip -q -X -0 -P secret "$here/infozip.zip" plain.txt
zip -q -X -9 -P secret "$here/infozip.zip" text.txt
7z a -bso0 -tzip -mem=ZipCrypto -psecret -mx=0 "$here/7zip.zip" plain.txt
7z a -bso0 -tzip -mem=ZipCrypto -psecret -mx=9 "$here/7zip.zip" text.txt
zip -q -X -9 -P 'pässwort' "$here/infozip-utf8.zip" text.txt
cp plain.txt text.txt "$here/"
