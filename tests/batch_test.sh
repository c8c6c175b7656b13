#!/bin/sh
# Runs the README's batch forms (its "one=" line, serially and four at a
# time) over generated event directories: one line for each failing one,
# naming it, the same lines either way, and an unsuccessful end.
# Usage: batch_test.sh SOURCE-DIR MAGSYNC-DIR
set -eu
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
one=$(sed -n "s/^one='\(.*\)'\$/\1/p" "$1/README.md")
[ -n "$one" ] || { echo "README.md has no one='...' line"; exit 1; }
PATH=$2:$PATH
k=$(head -n 1 "$1/examples/k.txt")
for i in $(seq 10 49); do
  d=$work/ev$i
  mkdir "$d"
  cp "$1/examples/mp" "$1/examples/k.txt" "$1/examples/s.txt" "$d"
  case $i in
    1?) rm "$d/k.txt" ;;
    2[0-4]) printf '%s\n' "$(echo "$k" | cut -c1-10)x$(echo "$k" | cut -c12-)" >"$d/k.txt" ;;
  esac
done
for p in 1 4; do
  status=0
  find "$work" -name mp -printf '%h\0' | sort -z | xargs -0 -n 1 -P $p sh -c "$one" sh >"$work/failed-$p" || status=$?
  [ "$status" = 123 ] || { echo "xargs -P $p ended with $status, not 123"; exit 1; }
  sort "$work/failed-$p" >"$work/sorted-$p"
done
cmp "$work/sorted-1" "$work/sorted-4"
[ "$(wc -l <"$work/sorted-1")" = 15 ] || { cat "$work/sorted-1"; echo "not 15 lines"; exit 1; }
grep -qx "$work/ev10: status 2: magsync: k.txt: No such file or directory" "$work/sorted-1"
grep -qx "$work/ev20: status 2: magsync: k.txt: line 1, columns 11-14: cannot read \"x705\" as a number" "$work/sorted-1"
echo "the batch forms list the 15 failing directories of 40"
