#!/usr/bin/env bash
# A frame overrun in a program built with the installer's flags ends the
# process with STATUS_STACK_BUFFER_OVERRUN, read in all 32 bits through the
# exit-code runner; one that stays inside its array exits with 0.
# usage: stack_overrun.sh RUNNER EXIT_CODE_RUNNER STACK_OVERRUN_EXE
set -euo pipefail
runner=$1
exit_code_runner=$2
program=$3
dir=$(mktemp -d /tmp/brivel-overrun-XXXXXX)
trap 'rm -rf "$dir"' EXIT
failed=0
for case in "64 0xC0000409" "16 0x00000000"; do
  read -r count expected <<<"$case"
  printf '"%s" %s' "Z:${program//\//\\}" "$count" >"$dir/command.txt"
  "$runner" "$exit_code_runner" "Z:${program//\//\\}" "Z:${dir//\//\\}\\command.txt" >"$dir/out.txt" 2>"$dir/err.txt" || true
  got=$(sed -n 's/^exit_code=//p' "$dir/out.txt")
  if [ "$got" != "$expected" ]; then
    echo "FAIL $count bytes into 16: exit code ${got:-none}, expected $expected ($(tail -c 300 "$dir/err.txt"))"
    failed=1
  else
    echo "ok   $count bytes into 16: exit code $got"
  fi
done
exit $failed
