#!/usr/bin/env bash
# SPDX-FileCopyrightText: 2026 The mivoproxy developers
# SPDX-License-Identifier: GPL-3.0-or-later
# Fails when a C++ source differs from what clang-format makes of it; run
# `git ls-files '*.cpp' '*.h' | xargs clang-format -i` to fix.
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror
echo "format: every source as clang-format writes it"
