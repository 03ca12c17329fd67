#!/usr/bin/env bash
# Runs a program once per case with one argument and compares its exit code,
# read in all 32 bits through the exit-code runner, with the case's.
# usage: exit_codes.sh RUNNER EXIT_CODE_RUNNER PROGRAM "ARGUMENT EXPECTED" ...
set -euo pipefail
runner=$1
exit_code_runner=$2
program=$3
shift 3
dir=$(mktemp -d /tmp/brivel-exit-codes-XXXXXX)
trap 'rm -rf "$dir"' EXIT
failed=0
for case in "$@"; do
  read -r argument expected <<<"$case"
  printf '"%s" %s' "Z:${program//\//\\}" "$argument" >"$dir/command.txt"
  "$runner" "$exit_code_runner" "Z:${program//\//\\}" "Z:${dir//\//\\}\\command.txt" >"$dir/out.txt" 2>"$dir/err.txt" || true
  got=$(sed -n 's/^exit_code=//p' "$dir/out.txt")
  if [ "$got" != "$expected" ]; then
    echo "FAIL $(basename "$program") $argument: exit code ${got:-none}, expected $expected ($(tail -c 300 "$dir/err.txt"))"
    failed=1
  else
    echo "ok   $(basename "$program") $argument: exit code $got"
  fi
done
exit $failed
