#!/bin/sh
# Runs every batch form the README gives (its "one=" line and each command
# line that starts with "find /data/events" and writes report.txt) over
# generated event directories whose names hold blanks: each form must print
# the same line for every directory (rewritten, no match or failed) and end
# unsuccessfully. Usage: batch_test.sh SOURCE-DIR MAGSYNC-DIR
set -eu
src=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
one=$(sed -n "s/^one='\(.*\)'\$/\1/p" "$src/README.md")
[ -n "$one" ] || { echo "README.md has no one='...' line"; exit 1; }
PATH=$(cd "$2" && pwd):$PATH
export PATH
k=$(head -n 1 "$src/examples/k.txt")
s=$(head -n 1 "$src/examples/s.txt")
mkdir "$work/events"
for i in $(seq 10 49); do
  d="$work/events/ev $i"
  mkdir "$d"
  cp "$src/examples/mp" "$src/examples/k.txt" "$src/examples/s.txt" "$d"
  mkdir "$d/k.txt.d"  # a subdirectory of an event is no event
  case $i in
    1?) rm "$d/k.txt" ;;
    2[0-4]) printf '%s\n' "$(echo "$k" | cut -c1-10)x$(echo "$k" | cut -c12-)" >"$d/k.txt" ;;
    3?) printf '%s\n' "$(echo "$s" | cut -c1-6)13$(echo "$s" | cut -c9-)" >"$d/s.txt" ;;
  esac
done
mkdir "$work/events/no control"
cp "$src/examples/k.txt" "$work/events/no control"
n=0
grep '^find /data/events .*> report.txt$' "$src/README.md" | while IFS= read -r form; do
  n=$((n + 1))
  case $form in *" parallel "*) command -v parallel >/dev/null || { echo "GNU parallel is not installed"; exit 1; } ;; esac
  rm -rf "$work/copy" && cp -r "$work/events" "$work/copy"
  status=0
  (cd "$work" && one=$one && eval "$(echo "$form" | sed "s|/data/events|$work/copy|")") || status=$?
  [ "$status" != 0 ] || { echo "form $n ended with 0: $form"; exit 1; }
  sort "$work/report.txt" | sed "s|$work/copy/||" >"$work/sorted-$n"
  [ "$(wc -l <"$work/sorted-$n")" = 40 ] || { cat "$work/sorted-$n"; echo "form $n: not 40 lines"; exit 1; }
  grep -qx "ev 10: failed (status 2): magsync: k.txt: No such file or directory" "$work/sorted-$n"
  grep -qx "ev 20: failed (status 2): magsync: k.txt: line 1, columns 11-14: cannot read \"x705\" as a number" "$work/sorted-$n"
  grep -qx "ev 30: no match" "$work/sorted-$n"
  grep -qx "ev 40: rewritten" "$work/sorted-$n"
  [ "$n" = 1 ] || cmp "$work/sorted-1" "$work/sorted-$n"
  echo "$n" >"$work/forms"
done
[ "$(cat "$work/forms")" -ge 4 ] || { echo "fewer than 4 forms ran"; exit 1; }
listing=$(cd "$work" && eval "$(sed -n 's|^`\(find /data/events -type f ! -name mp .*\)`\.$|\1|p' "$src/README.md" | sed "s|/data/events|$work/events|")")
[ "$listing" = "$work/events/no control" ] || { echo "directories without mp: $listing"; exit 1; }

# The README's --batch forms, as written: the list, one process, four
# slices merged, the failures without the header, and their retry.
form() { P=$1 awk 'index($0, ENVIRON["P"]) == 1 { print; exit }' "$src/README.md" | sed "s|/data/events|$work/copy|g"; }
rm -rf "$work/copy" && cp -r "$work/events" "$work/copy"
cd "$work"
eval "$(form "find /data/events -name mp -type f -printf")"
status=0; eval "$(form "magsync --batch -0 events.list > report.tsv")" || status=$?
[ "$status" = 1 ] || { echo "the one-process batch ended with $status, not 1"; exit 1; }
[ "$(wc -l <report.tsv)" = 41 ] || { cat report.tsv; echo "the batch report has not 40 rows"; exit 1; }
mv report.tsv whole.tsv
eval "$(form "printf '%s\\n' 1 2 3 4 | xargs -P 4")" || true
eval "$(form "awk 'FNR > 1 || NR == 1' report-")"
# (run on files the one batch already updated: compared by status and magnitude after)
[ "$(cut -f 1,2,5 report.tsv | sort)" = "$(cut -f 1,2,5 whole.tsv | sort)" ] ||
  { echo "four slices merged differ from one batch"; exit 1; }
eval "$(form "awk -F '\\t' 'NR > 1")" >failures
[ "$(wc -l <failures)" = 15 ] || { cat failures; echo "not the 15 failures"; exit 1; }
status=0; eval "$(form "magsync --retry report.tsv")" || status=$?
[ "$status" = 1 ] && [ "$(tail -n +2 retry.tsv | cut -f 1 | sort)" = "$(cut -f 1 failures | sort)" ] ||
  { cat retry.tsv; echo "the retry did not run exactly the failures"; exit 1; }
echo "the $(cat "$work/forms") batch forms report the 40 directories alike; the listing finds the one without mp;" \
  "the --batch forms, slices merged, failures and retry agree"
