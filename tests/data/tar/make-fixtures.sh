#!/bin/sh
# Makes the tar fixtures: one small tree written by GNU tar in the ustar, gnu
# and pax formats and by bsdtar in pax, with a 150-character path (ustar
# prefix), a 150-character file name (GNU 'L' record / pax path), a folder, an
# empty file and an executable script. Fixed times and owners so that the
# output does not depend on the machine. Run from this folder.
set -eu
here=$(pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tree="$work/tree"
long_dir=$(printf 'd%.0s' $(seq 1 70))
long_file=$(printf 'f%.0s' $(seq 1 150))
mkdir -p "$tree/$long_dir/$long_dir"
printf 'deep file\n' > "$tree/$long_dir/$long_dir/deep.txt"
printf 'long file name\n' > "$tree/$long_dir/$long_file"
: > "$tree/empty.txt"
printf '#!/bin/sh\necho hi\n' > "$tree/run.sh"
chmod 755 "$tree/run.sh"
chmod 644 "$tree/empty.txt" "$tree/$long_dir/$long_dir/deep.txt" "$tree/$long_dir/$long_file"
find "$tree" -exec touch -h -d @1700000000 {} +
touch -d @1600000001 "$tree/run.sh"

common="--owner=0 --group=0 --numeric-owner --sort=name -b 1 -C $tree"
# ustar cannot hold the 150-character file name; leave it out there.
tar --format=ustar $common -cf "$here/gnutar-ustar.tar" --exclude="$long_file" .
tar --format=gnu $common -cf "$here/gnutar-gnu.tar" .
tar --format=pax $common --pax-option=delete=atime,delete=ctime -cf "$here/gnutar-pax.tar" .
(cd "$tree" && bsdtar --format=pax --uid 0 --gid 0 -b 1 -cf "$here/bsdtar-pax.tar" \
    run.sh empty.txt "$long_dir")
