#!/usr/bin/env bash
# Line and branch coverage of the engine (vorn-core/src) and the binding (src) under the
# pytest suite: a GCC --coverage build in build/coverage, then gcovr (pip install gcovr).
#   tools/coverage.sh [PYTEST ARGS...]
# Prints the per-file table and the totals; the HTML report is build/coverage/html/index.html.
# Branches that only exist for exception unwinding are left out: they count the compiler's
# landing pads, not decisions in the code.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/build/coverage"
python=${PYTHON:-python3}
if ! command -v gcovr >/dev/null; then
  echo "tools/coverage.sh: gcovr is missing (pip install gcovr)" >&2
  exit 2
fi
# A build type of its own: unoptimised like Debug, but without Debug's invariant checks, whose
# never-taken branches would only dilute the figures.
CC=gcc CXX=g++ cmake -S "$root" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Coverage \
  -DCMAKE_CXX_FLAGS_COVERAGE="-O0 -g --coverage -fprofile-update=atomic" \
  -DSKBUILD_SABI_COMPONENT=Development.SABIModule \
  -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
cmake --build "$out" --target _vorn >/dev/null
find "$out" -name '*.gcda' -delete
mkdir -p "$out/pkg/vorn_schema" "$out/html"
for f in "$root"/python/vorn_schema/*; do
  ln -sf "$f" "$out/pkg/vorn_schema/"
done
ln -sf "$out"/_vorn*.so "$out/pkg/vorn_schema/"

cd "$root"
PYTHONPATH="$out/pkg" "$python" -m pytest -q -p no:cacheprovider "$@"
objects=("$out/CMakeFiles/_vorn.dir" "$out/vorn-core")
common=(--root "$root" --exclude-throw-branches --exclude-unreachable-branches)
gcovr "${common[@]}" --filter 'vorn-core/src/' --filter 'src/' --txt-metric branch \
  --html-details "$out/html/index.html" --txt - --print-summary \
  "${objects[@]}"
for part in engine:vorn-core/src/ binding:src/; do
  echo "== ${part%%:*} (${part#*:})"
  gcovr "${common[@]}" --filter "${part#*:}" --txt /dev/null --print-summary "${objects[@]}"
done
