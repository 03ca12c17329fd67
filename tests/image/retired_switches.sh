#!/usr/bin/env bash
# A retired switch anywhere after the program name, in any letter case, ends
# the run with 118 before anything is created beside the executable.
# usage: retired_switches.sh RUNNER INSTALLER   (RUNNER: tools/run-x64 or tools/run-arm64)
set -euo pipefail
runner=$1
installer=$2
dir=$(mktemp -d /tmp/brivel-retired-XXXXXX)
trap 'rm -rf "$dir"' EXIT
cp "$installer" "$dir/installer.exe"
failed=0
for args in "--cleanup" "--CLEANUP" "--brivel-frame" "--Brivel-Frame" \
            "--system-level --cleanup" "--brivel-beta x --brivel-frame y"; do
  # shellcheck disable=SC2086
  set +e
  "$runner" "$dir/installer.exe" $args
  status=$?
  set -e
  entries=$(ls -A "$dir")
  if [ "$status" -ne 118 ] || [ "$entries" != "installer.exe" ]; then
    echo "FAIL installer.exe $args: exit $status, beside it: $entries"
    failed=1
  else
    echo "ok   installer.exe $args: exit 118, nothing created"
  fi
done
exit $failed
