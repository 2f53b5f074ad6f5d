#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while.
#   scripts/fuzz.sh [SECONDS] [TARGET...]     (default: 60 s each, every target)
# New inputs go to build/fuzz/corpus/TARGET (the committed seeds in fuzz/corpus are only read);
# a crash is saved as build/fuzz/crash-TARGET-*. Prints executions and coverage per target.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true
scripts/install-deps.sh fuzz

CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKESTREL_FUZZ=ON -DKESTREL_BUILD_TESTS=OFF >/dev/null
cmake --build build/fuzz -j "$(nproc)"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=($(cd fuzz && ls ./*_fuzz.cpp | sed 's|./||; s|_fuzz.cpp||'))
fi

status=0
for target in "${targets[@]}"; do
  corpus="build/fuzz/corpus/$target"
  mkdir -p "$corpus"
  log="build/fuzz/$target.log"
  if ! "build/fuzz/fuzz/${target}_fuzz" "$corpus" "fuzz/corpus/$target" -max_total_time="$seconds" \
      -artifact_prefix="build/fuzz/crash-$target-" -print_final_stats=1 >"$log" 2>&1; then
    status=1
    echo "$target: FOUND A CRASH (see $log and build/fuzz/crash-$target-*)"
    continue
  fi
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
  rate=$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
  coverage=$(grep -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE)' "$log" | tail -1 | grep -o 'cov: [0-9]* ft: [0-9]*' || echo "?")
  echo "$target: $runs executions in $seconds s ($rate/s), $coverage"
done
exit $status
