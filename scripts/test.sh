#!/usr/bin/env bash
# SPDX-FileCopyrightText: 2026 The mivoproxy developers
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is needed, checks the formatting, builds, and runs every
# test: each fuzz target for a bounded time in its own clang build, then the
# whole suite in a Release build (what a package is built as), the Debian
# package's checks, and the suite once more under AddressSanitizer +
# UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
bash scripts/check-format.sh
# Every file says its licence and copyright.
reuse lint

jobs=$(nproc)
run() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@"
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs")
}

FUZZ_SECONDS=${FUZZ_SECONDS:-60} bash scripts/fuzz.sh

run build -DCMAKE_BUILD_TYPE=Release
bash scripts/check-package.sh build
# The sanitizer pass skips the benchmarks: they measure the Release build.
run build-asan -DCMAKE_BUILD_TYPE=Debug -DMIVO_SANITIZE=ON -DMIVO_BUILD_BENCH=OFF
