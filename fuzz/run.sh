#!/usr/bin/env bash
# Builds the fuzz targets with clang (AddressSanitizer, UndefinedBehaviorSanitizer,
# libFuzzer) and runs each for SECONDS (default 20) with its seed corpus, as many
# at a time as the machine has processors (each target runs on one).
# Usage: fuzz/run.sh [SECONDS] [extra libFuzzer flags...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
shift || true
build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DNORVO_FUZZ=ON -DNORVO_SANITIZE=address \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
targets=(fuzz_dispatch fuzz_download fuzz_import fuzz_text fuzz_restore fuzz_share fuzz_config)
cmake --build "$build" --target "${targets[@]}"

# One run: its corpus copied into a work folder, its tail into its own log.
run_one() {
  local target=$1 work="$build/fuzz-work/$1"
  mkdir -p "$work"
  cp -n fuzz/corpus/"$target"/* "$work"/ 2>/dev/null || true
  "$build/fuzz/$target" -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$build/fuzz-work/$target-" "${extra[@]}" "$work" > "$build/fuzz-work/$target.log" 2>&1
}
extra=("$@")
mkdir -p "$build/fuzz-work"
slots=$(nproc)
declare -A pid_of
for target in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$slots" ]; do wait -n || true; done
  run_one "$target" &
  pid_of[$target]=$!
done
# Each run's status and output, in the targets' order.
status=0
for target in "${targets[@]}"; do
  echo "== $target: $seconds s"
  if wait "${pid_of[$target]}"; then :; else status=1; echo "== $target FAILED"; fi
  tail -n 14 "$build/fuzz-work/$target.log"
done
exit $status
