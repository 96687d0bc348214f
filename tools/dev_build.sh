#!/usr/bin/env bash
# Incremental developer build outside pip: builds into build/dev-<name> and assembles an
# importable package there. Use: tools/dev_build.sh NAME [Release|Debug] && \
#   PYTHONPATH=build/dev-NAME/pkg python -m pytest
set -euo pipefail
name=${1:-main}
type=${2:-Release}
root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/build/dev-$name"
cmake -S "$root" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE="$type" \
  -DSKBUILD_SABI_COMPONENT=Development.SABIModule -DVORN_WERROR=ON \
  -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
cmake --build "$out"
mkdir -p "$out/pkg/vorn_schema"
for f in "$root"/python/vorn_schema/*; do
  ln -sf "$f" "$out/pkg/vorn_schema/"
done
ln -sf "$out"/_vorn*.so "$out/pkg/vorn_schema/"
