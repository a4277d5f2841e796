#!/usr/bin/env bash
# SPDX-FileCopyrightText: 2026 The mivoproxy developers
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is needed, builds, and starts the program with the sample
# list site beside it; the site stops when the program ends.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$(nproc)"

build/tools/mivo-sample-site &
site=$!
trap 'kill "$site" 2>/dev/null || true; wait "$site" 2>/dev/null || true' EXIT
build/app/mivoproxy "$@"
