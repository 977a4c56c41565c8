#!/bin/sh
# Makes the gzip fixtures with GNU gzip: a member with its stored name and
# time (-N), one without (-n, so the reader derives the name), and two
# members written one after the other (cat a.gz b.gz). Run from this folder.
set -eu
here=$(pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
printf 'The quick brown fox jumps over the lazy dog.\n' > fox.txt
seq 1 2000 > numbers.txt
touch -d @1700000000 fox.txt numbers.txt
gzip -9 -N -c fox.txt > "$here/named.gz"
gzip -6 -n -c numbers.txt > "$here/noname.tgz"
gzip -1 -N -c fox.txt > a.gz
gzip -9 -n -c numbers.txt > b.gz
cat a.gz b.gz > "$here/two-members.gz"
