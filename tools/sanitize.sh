#!/usr/bin/env bash
# Builds the extension with ASan and UBSan (GCC, VORN_SANITIZE=ON) into build/sanitize and
# runs the pytest suite under them: tools/sanitize.sh [PYTEST ARGS...]
# - The ASan runtime is preloaded, since python itself is not instrumented.
# - PYTHONMALLOC=malloc sends every Python object through ASan's allocator, so a reference
#   released once too often shows as a use after free instead of a quiet pymalloc reuse.
# - Any UBSan report stops the run (halt_on_error), as does any ASan report.
# - Leak detection is off: CPython keeps interned strings, static types and module state
#   to the end of the process, so reports would be the interpreter's own; the suite's
#   refcount and memory tests cover the module's references instead.
# - Tests marked `memory` are skipped (ASan's quarantine holds freed memory, so RSS grows by
#   design) and so are tests marked `subprocess` (children would inherit the preload and
#   its slowdown; the plain suite runs them).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/build/sanitize"
python=${PYTHON:-python3}
CC=gcc CXX=g++ cmake -S "$root" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DVORN_SANITIZE=ON -DVORN_WERROR=ON -DSKBUILD_SABI_COMPONENT=Development.SABIModule \
  -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
cmake --build "$out" --target _vorn >/dev/null
mkdir -p "$out/pkg/vorn_schema"
for f in "$root"/python/vorn_schema/*; do
  ln -sf "$f" "$out/pkg/vorn_schema/"
done
ln -sf "$out"/_vorn*.so "$out/pkg/vorn_schema/"

cd "$root"
LD_PRELOAD="$(g++ -print-file-name=libasan.so)" \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  PYTHONMALLOC=malloc PYTHONPATH="$out/pkg" \
  "$python" -m pytest -p no:cacheprovider -m "not memory and not subprocess" "$@"
