#!/usr/bin/env bash
# Builds the fuzz targets with clang (AddressSanitizer, UndefinedBehaviorSanitizer,
# libFuzzer) and runs each for SECONDS (default 20) with its seed corpus.
# Usage: fuzz/run.sh [SECONDS] [extra libFuzzer flags...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
shift || true
build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DNORVO_FUZZ=ON -DNORVO_SANITIZE=address \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build "$build" --target fuzz_dispatch fuzz_download fuzz_import fuzz_text fuzz_restore fuzz_share fuzz_config
status=0
for target in fuzz_dispatch fuzz_download fuzz_import fuzz_text fuzz_restore fuzz_share fuzz_config; do
  work="$build/fuzz-work/$target"
  mkdir -p "$work"
  cp -n fuzz/corpus/"$target"/* "$work"/ 2>/dev/null || true
  echo "== $target: $seconds s"
  if ! "$build/fuzz/$target" -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$build/fuzz-work/$target-" "$@" "$work" 2>&1 | tail -n 14; then
    status=1
  fi
done
exit $status
