#!/usr/bin/env bash
# The manual pages format without a warning: groff -man -ww -z prints nothing for each.
# usage: check-man.sh <man-dir>
set -euo pipefail
status=0
for page in "$1"/*.[18]; do
  warnings=$(LC_ALL=C.UTF-8 groff -man -ww -z "$page" 2>&1) || status=1
  if [[ -n "$warnings" ]]; then
    echo "$page:"; echo "$warnings"; status=1
  fi
  name=$(basename "$page")
  grep -q "^\.TH ${name%.*} ${name##*.} " "$page" || { echo "$page: .TH does not name it"; status=1; }
done
((status == 0)) && echo "man pages: ok ($(ls "$1"/*.[18] | wc -l))"
exit $status
