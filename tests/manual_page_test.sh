#!/bin/sh
# Installs into a scratch prefix, then renders the manual page with every
# warning on: any warning fails, and so does a header whose version is not
# the one magsync --version prints. Usage: manual_page_test.sh BUILD-DIR
set -eu
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$1" --prefix "$prefix" >/dev/null
test -x "$prefix/bin/magsync"
page=$prefix/share/man/man1/magsync.1.gz
test -f "$page"
command -v groff >/dev/null || { echo "groff is not installed (groff-base): cannot render the manual page"; exit 1; }
warnings=$(gzip -dc "$page" | groff -man -t -Tutf8 -ww -z 2>&1)
if [ -n "$warnings" ]; then
  echo "$warnings"
  exit 1
fi
version=$("$prefix/bin/magsync" --version | head -n 1)
gzip -dc "$page" | grep -q "^\.TH MAGSYNC 1 [0-9-]* \"$version\"" || { echo "header does not say \"$version\""; exit 1; }
echo "manual page installs, renders cleanly and says $version"
