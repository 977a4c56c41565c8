#!/usr/bin/env bash
# Makes the ZIP extraction fixtures with Info-ZIP zip. Encryption headers are
# random, so each run gives other bytes. The tests need the password forms
# tried before the right one (UTF-8, then Windows-1252) to fail the check
# byte; about one run in 100 lets one pass by chance: run the script again then.
#   password-cp1252.zip  one entry, password "Grüße" as Windows-1252 bytes
#   password-cp437.zip   one entry, password "Grüße" as code page 437 bytes
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
printf 'Made on a machine whose password was typed in a legacy code page.\n' > legacy.txt
touch -d '2022-02-02 12:34:56' legacy.txt
rm -f "$here"/password-cp1252.zip "$here"/password-cp437.zip
zip -q -X -P $'Gr\xfc\xdfe' "$here/password-cp1252.zip" legacy.txt
zip -q -X -P $'Gr\x81\xe1e' "$here/password-cp437.zip" legacy.txt
cp legacy.txt "$here/"
