#!/bin/sh
# Which way magsync's replacement of an S file takes on the filesystem of
# directory DIR: a nameless or named new file, exchange or rename, and the
# kernel's copy or a buffer. Usage: tests/update_path.sh MAGSYNC DIR
set -eu
exe=$(realpath "$1")
work=$(mktemp -d "$2/path-XXXXXX")
trap 'rm -rf "$work"' EXIT
printf 'k.txt\ns.txt\n' >"$work/mp"
printf '2612081201070536N3000120W1530 12.023\n' >"$work/k.txt"
{ printf '2612081201205036N3120120W1400 11.819\n'; head -c 300000 /dev/zero | tr '\0' 'p'; } >"$work/s.txt"
calls=$(cd "$work" && strace -f -qq -e trace=openat,linkat,renameat2,renameat,copy_file_range,pwrite64 "$exe" 2>&1 >/dev/null)
file=named; how=rename; copy=buffer
echo "$calls" | grep -q 'O_TMPFILE.*= [0-9]' && file=nameless
echo "$calls" | grep -q 'RENAME_EXCHANGE) = 0' && how=exchange
echo "$calls" | grep -q 'copy_file_range(.*= [1-9]' && copy=kernel
echo "$file new file, $how, $copy copy"
