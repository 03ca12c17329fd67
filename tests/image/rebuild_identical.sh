#!/usr/bin/env bash
# Rebuilds the kit from the same sources in a separate build folder, packages
# the same one-byte payloads with it, and compares the result byte for byte
# with the installer of the main build: no time stamps, no build paths.
# usage: rebuild_identical.sh SOURCE_DIR TOOLCHAIN_FILE ARCH PAYLOAD REFERENCE_EXE WORK_DIR
set -euo pipefail
source_dir=$1 toolchain=$2 arch=$3 payload=$4 reference=$5 work=$6
rm -rf "$work"
cmake -S "$source_dir" -B "$work" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=Release -DBRIVEL_BUILD_TESTS=OFF >/dev/null
cmake --build "$work" --target kit >/dev/null
"$source_dir/tools/package" --arch "$arch" --kit "$work/kit" \
  --setup "$payload" --archive "$payload" --output "$work/rebuilt.exe"
if cmp "$reference" "$work/rebuilt.exe"; then
  echo "ok   a rebuild in $work gives the same $(stat -c %s "$reference") bytes"
  rm -rf "$work"
else
  echo "FAIL a rebuild gives different bytes (kept in $work)"
  exit 1
fi
