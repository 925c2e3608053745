#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds Kalvorin and runs every test, headless, then each fuzz target briefly (a minute in all).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/build.sh"
export QT_QPA_PLATFORM=offscreen
cd "$top/build"
ctest --output-on-failure --parallel "$(nproc)" "$@"
targets=("$top"/fuzz/fuzz_*.cpp)
"$top/scripts/fuzz.sh" $((60 / ${#targets[@]}))
