#!/usr/bin/env bash
# The committed icon is what its drawing gives: resources/make_icon.sh, run
# twice, writes the same bytes both times, and they are those of
# resources/installer.ico. Fails when icon.svg (or the script) changed and
# the icon was not made again.
# usage: icon_matches_drawing.sh SOURCE_DIR WORK_DIR
set -euo pipefail
source_dir=$1 work=$2
rm -rf "$work"
mkdir -p "$work"
"$source_dir/resources/make_icon.sh" "$work/first.ico"
"$source_dir/resources/make_icon.sh" "$work/second.ico"
if ! cmp "$work/first.ico" "$work/second.ico"; then
  echo "FAIL two runs of make_icon.sh give different bytes (kept in $work)"
  exit 1
fi
if ! cmp "$work/first.ico" "$source_dir/resources/installer.ico"; then
  echo "FAIL resources/installer.ico is not what icon.svg gives (kept in $work):"
  echo "     run resources/make_icon.sh and commit the icon"
  exit 1
fi
echo "ok   make_icon.sh gives the committed $(stat -c %s "$work/first.ico") bytes, twice"
rm -rf "$work"
