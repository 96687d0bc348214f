#!/usr/bin/env bash
# Builds every fuzz target with clang (engine and extension instrumented, ASan and UBSan on)
# and runs each for SECONDS, two at a time, then prints executions and coverage per target.
#   fuzz/run.sh SECONDS [TARGET...]
# Engine targets: schema json validate pair (libFuzzer). Binding targets: describe
# python_road json_road (atheris; needs `pip install atheris`, which builds with clang).
# Seeds come from fuzz/corpus/<target> and are copied, so runs never touch the committed
# corpora; what a run learns stays in build/fuzz/corpus. Crashes land in build/fuzz/crashes
# and make the script fail.
set -euo pipefail
seconds=${1:?usage: fuzz/run.sh SECONDS [TARGET...]}
shift
root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/build/fuzz"
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(schema json validate pair describe python_road json_road)
fi
python=${PYTHON:-python3}

for tool in clang clang++; do
  if ! command -v "$tool" >/dev/null; then
    echo "fuzz/run.sh: $tool is missing (apt-get install clang libclang-rt-14-dev)" >&2
    exit 2
  fi
done

CC=clang CXX=clang++ cmake -S "$root" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DVORN_FUZZ=ON -DVORN_PYTHON=ON -DSKBUILD_SABI_COMPONENT=Development.SABIModule \
  -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
cmake --build "$out" >/dev/null
mkdir -p "$out/pkg/vorn_schema" "$out/crashes" "$out/logs"
for f in "$root"/python/vorn_schema/*; do
  ln -sf "$f" "$out/pkg/vorn_schema/"
done
ln -sf "$out"/_vorn*.so "$out/pkg/vorn_schema/"

# Runs one target; its log ends with libFuzzer's "DONE" line (executions, cov, ft).
run_one() {
  local target=$1 seeds
  seeds=$target
  case $target in describe) seeds=schema ;; json_road) seeds=pair ;; esac
  local corpus="$out/corpus/$target"
  mkdir -p "$corpus"
  if [ -d "$root/fuzz/corpus/$seeds" ]; then
    cp -n "$root/fuzz/corpus/$seeds"/* "$corpus/" 2>/dev/null || true
  fi
  local args=(-max_total_time="$seconds" -timeout=25 -dict="$root/fuzz/vorn.dict"
    -artifact_prefix="$out/crashes/$target-" -print_final_stats=1 "$corpus")
  case $target in
    schema | json | validate | pair)
      ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        "$out/${target}_fuzz" "${args[@]}"
      ;;
    *)
      # CPython keeps its own allocations to the end, so leak reports would be noise here.
      local runtime
      runtime=$("$python" -c 'import atheris, os; print(os.path.join(atheris.path(), "asan_with_fuzzer.so"))')
      LD_PRELOAD="$runtime" ASAN_OPTIONS=detect_leaks=0 \
        UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 PYTHONPATH="$out/pkg" \
        "$python" "$root/fuzz/${target}_fuzz.py" "${args[@]}"
      ;;
  esac
}

for target in "${targets[@]}"; do
  case $target in
    describe | python_road | json_road)
      if ! "$python" -c 'import atheris' 2>/dev/null; then
        echo "fuzz/run.sh: atheris is missing for $python (pip install atheris)" >&2
        exit 2
      fi
      ;;
  esac
done

# Two at a time, one per core.
pids=()
names=()
status=0
for target in "${targets[@]}"; do
  if [ ${#pids[@]} -ge 2 ]; then
    wait "${pids[0]}" || status=1
    pids=("${pids[@]:1}")
  fi
  run_one "$target" >"$out/logs/$target.log" 2>&1 &
  pids+=($!)
  names+=("$target")
done
for pid in "${pids[@]}"; do
  wait "$pid" || status=1
done

printf '%-12s %12s %8s %8s  %s\n' target executions cov ft result
for target in "${names[@]}"; do
  log="$out/logs/$target.log"
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 || true)
  execs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' "$log" | tail -1)
  cov=$(sed -nE 's/.* cov: ([0-9]+).*/\1/p' <<<"$done_line")
  ft=$(sed -nE 's/.* ft: ([0-9]+).*/\1/p' <<<"$done_line")
  if grep -qE '^(==[0-9]+== ?ERROR|SUMMARY: )' "$log"; then
    result="CRASH (see $log)"
    status=1
  else
    result=ok
  fi
  printf '%-12s %12s %8s %8s  %s\n' "$target" "${execs:-?}" "${cov:-?}" "${ft:-?}" "$result"
done
exit $status
