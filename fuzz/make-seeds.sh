#!/usr/bin/env bash
# Makes large seed archives for the reader fuzz targets with the real tools
# (zip, tar, gzip, gcab, arj, jlha, arc): thousands of entries each, every one
# under 1 MiB so that no fuzzer truncates it. Usage: make-seeds.sh OUTDIR
# writes OUTDIR/<target>/...; a tool that is missing is passed over. Generated
# seeds stay in the build folder; only small ones are kept in fuzz/corpus/.
set -uo pipefail
out=${1:?output folder}
mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$(mktemp -d -p /dev/shm 2>/dev/null || mktemp -d)
trap 'rm -rf "$work"' EXIT
have() { command -v "$1" >/dev/null 2>&1; }

# A tree of n small files (a few bytes, a few hundred, one line repeated)
# in folders of 100, named dNN/fNNNN.txt.
make_tree() {
  local dir=$1 n=$2 i d f
  mkdir -p "$dir" || return
  for ((i = 0; i < n; ++i)); do
    printf -v d '%s/d%02d' "$dir" $((i / 100))   # printf -v: no process per file
    ((i % 100 == 0)) && mkdir "$d"
    printf -v f '%s/f%04d.txt' "$d" "$i"
    case $((i % 3)) in
      0) printf 'entry %d\n' "$i" >"$f" ;;
      1) printf 'line %d of a file that compresses well\n' {1..8} >"$f" ;;
      2) : >"$f" ;;
    esac
  done
}

make_tree "$work/t5000" 5000
make_tree "$work/t3000" 3000
make_tree "$work/t2000" 2000
make_tree "$work/t200" 200

# ZIP: deflated and stored entries, folder entries, traditional encryption
# (password "password", which the extraction target answers).
if have zip; then
  mkdir -p "$out/zip_listing_fuzz" "$out/zip_extract_fuzz"
  (cd "$work/t5000" && zip -qr -X "$out/zip_listing_fuzz/many-5000.zip" .)
  (cd "$work/t3000" && zip -qr -0 -X -D "$out/zip_listing_fuzz/stored-3000.zip" .)
  (cd "$work/t3000" && zip -qr -X -P password "$out/zip_extract_fuzz/encrypted-3000.zip" .)
  (cd "$work/t200" && zip -qr -X -P password "$out/zip_extract_fuzz/encrypted-200.zip" .)
  (cd "$work/t200" && zip -qr -X "$out/zip_extract_fuzz/deflated-200.zip" .)
  (cd "$work/t5000" && zip -qr -X "$out/zip_extract_fuzz/many-5000.zip" .)
  (cd "$work/t200" && ln -sf d00/f0001.txt link && zip -qr -y -X "$out/zip_extract_fuzz/symlink.zip" link d00 && rm -f link)
fi

# TAR: GNU and pax formats, 2000 entries (512-byte headers: 1 MiB), links,
# long names; and the same trees compressed for the gzip target.
if have tar; then
  mkdir -p "$out/tar_reader_fuzz"
  (cd "$work/t200" && mkdir -p "long/$(printf 'n%.0s' {1..120})" \
    && printf 'deep\n' >"long/$(printf 'n%.0s' {1..120})/$(printf 'm%.0s' {1..110}).txt" \
    && ln -sf d00/f0001.txt symlink && ln -f d00/f0002.txt hardlink)
  (cd "$work/t2000" && tar --format=gnu -cf - d00 d01 d02 d03 d04 d05 d06 d07 d08 d09 d10 d11 d12 d13 d14 d15 d16 d17 d18 \
    | head -c 1040384 >"$out/tar_reader_fuzz/gnu-1900.tar")
  (cd "$work/t200" && tar --format=pax -cf "$out/tar_reader_fuzz/pax-links.tar" .)
  (cd "$work/t200" && tar --format=gnu -cf "$out/tar_reader_fuzz/gnu-links.tar" .)
  (cd "$work/t200" && tar --format=ustar -cf "$out/tar_reader_fuzz/ustar-200.tar" d00 d01 symlink hardlink)
  if have gzip; then
    mkdir -p "$out/gzip_reader_fuzz"
    (cd "$work/t3000" && tar -cf - . | gzip -9 >"$out/gzip_reader_fuzz/tree-3000.tar.gz")
    : >"$out/gzip_reader_fuzz/members-200.gz"
    for f in "$work"/t200/d00/*.txt "$work"/t200/d01/*.txt; do gzip -c "$f" >>"$out/gzip_reader_fuzz/members-200.gz"; done
    (cd "$work/t200" && cat d00/*.txt | gzip -1 -n >"$out/gzip_reader_fuzz/fast-noname.gz")
    (cd "$work/t200" && tar -cf - d00 | gzip -9 --name >"$out/gzip_reader_fuzz/named.tgz")
  fi
fi

# Listing-only formats for the catalogue target.
mkdir -p "$out/catalogue_fuzz"
if have gcab; then
  (cd "$work/t3000" && gcab -c "$out/catalogue_fuzz/stored-3000.cab" d*/*.txt)
  (cd "$work/t5000" && gcab -c -z "$out/catalogue_fuzz/mszip-5000.cab" d*/*.txt)
fi
if have arj; then
  (cd "$work/t3000" && arj a -r -y -i "$out/catalogue_fuzz/many-3000.arj" '*.txt' >/dev/null)
fi
if have jlha; then
  (cd "$work/t2000" && jlha a "$out/catalogue_fuzz/many-2000.lzh" d* >/dev/null 2>&1)
fi
if have arc; then
  (cd "$work/t2000/d00" && arc a "$out/catalogue_fuzz/many-100.arc" *.txt >/dev/null 2>&1)
  (cd "$work/t5000" && for d in d0? d1?; do (cd "$d" && arc a "$work/flat.arc" *.txt >/dev/null 2>&1); done; \
    [[ -f $work/flat.arc ]] && cp "$work/flat.arc" "$out/catalogue_fuzz/many-2000.arc")
fi
# Files over 1 MiB would be cut by the fuzzer: drop them, and say what is there.
find "$out" -type f -size +1024k -print -delete | sed 's/^/too large, dropped: /'
find "$out" -type f | sort | while read -r f; do printf '%9d %s\n' "$(stat -c %s "$f")" "${f#"$out"/}"; done
