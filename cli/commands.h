// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "cli/options.h"

namespace mivo::cli {

// Each subcommand runs with its arguments read and returns the exit code.
int Parse(const FileOptions& o);
int Fetch(const FetchOptions& o);
int Check(const CheckOptions& o);
int Tunnel(const TunnelOptions& o);
int Verify(const VerifyArgs& o);
int Import(const ImportOptions& o);

}  // namespace mivo::cli
