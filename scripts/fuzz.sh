#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the libFuzzer targets with clang, address and undefined-behaviour sanitizers into build-fuzz/
# and runs each for the seconds given (default 20), starting from its seeds in fuzz/corpus. What a run
# finds new goes to a temporary folder, never into the tree; a crash stops the script with its input.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-20}
"$top/scripts/install-deps.sh"
CC=clang CXX=clang++ cmake -S "$top" -B "$top/build-fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKALVORIN_FUZZ=ON \
  -DBUILD_TESTING=OFF >/dev/null
cmake --build "$top/build-fuzz" --parallel "$(nproc)" --target kalvorin-fuzzers
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
for fuzzer in "$top"/fuzz/fuzz_*.cpp; do
  name=$(basename "$fuzzer" .cpp)
  mkdir -p "$work/$name"
  echo "== $name, ${seconds} s"
  (cd "$work" && "$top/build-fuzz/fuzz/$name" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
    -artifact_prefix="$top/build-fuzz/$name-" \
    -print_final_stats=1 "$work/$name" "$top/fuzz/corpus/$name" 2>&1 | tail -n 12)
done
