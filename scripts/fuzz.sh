#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build/fuzz) and runs each for a while, one at a time.
#   scripts/fuzz.sh [SECONDS] [TARGET...]     default: 60 s each, every target in fuzz/
# The committed seeds in fuzz/corpus/TARGET are only read; inputs that reach new code go to
# build/fuzz/corpus/TARGET, which later runs start from. A crash, leak or timeout is saved in
# build/fuzz/artifacts/TARGET/ and the script exits non-zero; reproduce it with
#   build/fuzz/fuzz/TARGET_fuzz FILE
# and minimise it with -minimize_crash=1 -runs=10000. JOBS limits the build's parallelism.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
[ $# -gt 0 ] && shift
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: $0 [SECONDS] [TARGET...]  (SECONDS: a positive whole number, got '$seconds')" >&2
  exit 2
fi

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for source in fuzz/*_fuzz.cpp; do
    name="${source#fuzz/}"
    targets+=("${name%_fuzz.cpp}")
  done
fi
for target in "${targets[@]}"; do
  if [ ! -f "fuzz/${target}_fuzz.cpp" ]; then
    echo "no fuzz target '$target' (there is no fuzz/${target}_fuzz.cpp)" >&2
    exit 2
  fi
done

scripts/install-deps.sh fuzz
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKESTREL_FUZZ=ON >/dev/null
cmake --build build/fuzz -j "${JOBS:-$(nproc)}" --target "${targets[@]/%/_fuzz}"

# The JSON readers share one dictionary of JSON syntax and the records' member names.
dictionary_of() {
  case "$1" in
    preamble | envelope | pairing_grant | json_value | settings_loader | device_metadata)
      echo fuzz/json.dict ;;
    ssh_config) echo fuzz/ssh_config.dict ;;
  esac
}

# UBSan reports must stop the run like ASan's do, or libFuzzer would not keep the input.
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"

status=0
for target in "${targets[@]}"; do
  corpus="build/fuzz/corpus/$target"
  artifacts="build/fuzz/artifacts/$target"
  log="build/fuzz/$target.log"
  mkdir -p "$corpus" "$artifacts"
  options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
           -artifact_prefix="$artifacts/")
  dictionary="$(dictionary_of "$target")"
  [ -n "$dictionary" ] && options+=(-dict="$dictionary")

  echo "== $target: fuzzing for $seconds s (log: $log)"
  result=ok
  start=$(date +%s)
  "build/fuzz/fuzz/${target}_fuzz" "${options[@]}" "$corpus" "fuzz/corpus/$target" \
    >"$log" 2>&1 || result=failed

  executions=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' ||
    true)
  rate=$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)
  coverage=$(grep -E '^#[0-9]+' "$log" | grep -o 'cov: [0-9]* ft: [0-9]*' | tail -1 || true)
  echo "   ${executions:-?} executions, ${rate:-?} exec/s, ${coverage:-no coverage line}," \
    "corpus $(find "$corpus" -type f | wc -l) files"
  if [ "$result" = failed ]; then
    status=1
    echo "   FINDING: $(grep -m1 -E '^==[0-9]+==ERROR|^SUMMARY|fuzz property violated|deadly signal' \
      "$log" || echo "see $log")"
    find "$artifacts" -type f -newermt "@$start" -printf '   input: %p\n'
  fi
done
exit $status
