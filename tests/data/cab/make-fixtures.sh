#!/usr/bin/env bash
# Makes the cabinet fixtures with gcab (one stored and one MSZIP cabinet with
# names in a sub-folder and a UTF-8 name) and records 7-Zip's listing of each
# (`7z l -slt`, from the first "----------" line on) next to it.
# gcab 1.5 writes one CFFOLDER per cabinet; cabinets with several folders are
# built by the tests from the record layout.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export TZ=UTC

mkdir -p "$work/in/docs"
cd "$work/in"
printf 'hello\n' > a.txt
seq 1 2000 > docs/numbers.txt
head -c 500 /dev/zero > zero.bin
printf 'utf-8\n' > 'ünïcödé.txt'
touch -d '2022-07-08 09:10:12' a.txt
touch -d '2019-12-31 23:59:58' docs/numbers.txt
touch -d '1999-02-03 04:05:06' zero.bin
touch -d '2024-01-01 00:00:00' 'ünïcödé.txt'
files=(a.txt docs/numbers.txt zero.bin 'ünïcödé.txt')

gcab -c "$here/gcab-stored.cab" "${files[@]}"
gcab -c -z "$here/gcab-mszip.cab" "${files[@]}"

for cab in gcab-stored.cab gcab-mszip.cab; do
  (cd "$here" && 7z l -slt "$cab" | sed -n '/^----------$/,$p') > "$here/$cab.7z-slt.txt"
done
