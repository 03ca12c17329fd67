#!/usr/bin/env bash
# An installer whose own path is 260 characters or longer ends with 105 and
# leaves nothing behind. Wine's CreateProcessW refuses such a program path
# (error 123), so it is started from Linux, as `wine /deep/path/installer.exe`.
#
#   long_own_path_test.sh RUN_X64 FIXTURE_INSTALLER
#
# The Windows path Wine gives the program is "Z:" plus the Unix path with
# slashes turned into backslashes: two characters longer.
set -euo pipefail

run_x64=$1
fixture=$2
work=$(mktemp -d /tmp/brivel-long-path.XXXXXX)
trap 'rm -rf "$work"' EXIT

guid='{5C1E7B20-93AF-4d8e-B1C4-2F6A9D0E7B31}'
levels=('HKCU\Software\Morvex' 'HKCU\Software\Morvex\Update'
        'HKCU\Software\Morvex\Update\ClientState'
        "HKCU\\Software\\Morvex\\Update\\ClientState\\$guid")
key=${levels[3]}

reg() { "$run_x64" reg "$@" /reg:32 >"$work/reg.out" 2>&1; }

# The client-state key for the run to (not) write into: made when it is
# missing, removed again with exactly the levels made here, and compared
# before and after each run.
made_from=
for i in "${!levels[@]}"; do
    if ! reg query "${levels[$i]}"; then made_from=$i; break; fi
done
if [[ -n $made_from ]]; then
    reg add "$key" /f
    trap 'reg delete "${levels[$made_from]}" /f || true; rm -rf "$work"' EXIT
fi
"$run_x64" reg query "$key" /reg:32 >"$work/before.out" 2>&1 || true

failures=0
for length in 260 261 300; do
    # A folder chain whose Windows path, plus "\installer.exe", is `length`.
    unix_length=$((length - 2))
    dir=$work/case$length
    name=installer.exe
    while (( ${#dir} + 1 + ${#name} < unix_length )); do
        room=$((unix_length - ${#dir} - 1 - ${#name} - 1))
        (( room > 100 )) && room=50
        dir=$dir/$(printf 'd%.0s' $(seq "$room"))
    done
    mkdir -p "$dir"
    exe=$dir/$name
    cp "$fixture" "$exe"
    windows_path="Z:${exe//\//\\}"
    if (( ${#windows_path} != length )); then
        echo "case $length: path is ${#windows_path} characters" >&2
        failures=$((failures + 1)); continue
    fi

    status=0
    BRIVEL_PROBE_REPORT="Z:${work//\//\\}\\report$length.txt" \
        "$run_x64" "$exe" --x >"$work/run.out" 2>&1 || status=$?
    entries=$(ls -A "$dir")
    problems=()
    (( status == 105 )) || problems+=("exit status $status, expected 105")
    [[ $entries == "$name" ]] || problems+=("beside the installer: $entries")
    [[ ! -e $work/report$length.txt ]] || problems+=("setup ran")
    "$run_x64" reg query "$key" /reg:32 >"$work/after.out" 2>&1 || true
    if ! cmp -s "$work/before.out" "$work/after.out"; then
        problems+=("recorded: $(tr -d '\r' <"$work/after.out")")
    fi
    if ((${#problems[@]})); then
        printf 'own path of %d characters: %s\n' "$length" "${problems[@]}" >&2
        failures=$((failures + 1))
    else
        echo "own path of $length characters: exit 105, nothing created or recorded"
    fi
done
exit $((failures > 0))
