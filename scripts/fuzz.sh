#!/usr/bin/env bash
# SPDX-FileCopyrightText: 2026 The mivoproxy developers
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the libFuzzer targets with clang and runs each for a bounded time
# (FUZZ_SECONDS, default 30). A crash fails the run and leaves its input in
# build-fuzz/; turn it into a regression test before fixing.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-30}

cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DMIVO_FUZZ=ON -DMIVO_BUILD_TESTS=OFF -DMIVO_BUILD_BENCH=OFF
cmake --build build-fuzz -j "$(nproc)"

for target in $(find build-fuzz/fuzz -maxdepth 1 -type f -executable -name 'fuzz_*' | sort); do
  name=$(basename "$target")
  corpus=fuzz/corpus/${name#fuzz_}
  work=build-fuzz/corpus/${name#fuzz_}
  mkdir -p "$work"
  echo "fuzzing $name for ${seconds}s"
  (cd build-fuzz && "../$target" -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
     "../$work" "../$corpus")
done
echo "fuzzing: no crash"
