#!/bin/sh
# Installs into a scratch prefix, then renders the manual page with every
# warning on: any warning fails. Usage: manual_page_test.sh BUILD-DIR
set -eu
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$1" --prefix "$prefix" >/dev/null
test -x "$prefix/bin/magsync"
page=$prefix/share/man/man1/magsync.1
test -f "$page"
if ! command -v groff >/dev/null; then
  echo "groff is not installed: cannot render the manual page"
  exit 77
fi
warnings=$(groff -man -t -Tutf8 -ww -z "$page" 2>&1)
if [ -n "$warnings" ]; then
  echo "$warnings"
  exit 1
fi
echo "manual page installs and renders cleanly"
