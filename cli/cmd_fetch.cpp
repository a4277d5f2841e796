// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "cli/commands.h"
#include "cli/options.h"
#include "cli/print_rows.h"
#include "harvester/http_request.h"
#include "harvester/page_download.h"
#include "harvester/page_parser.h"

namespace mivo::cli {

int Fetch(const FetchOptions& o) {
  HeadlessMainOps ops;
  EchoPanelsToStderr(ops);
  // The list-page command itself, with its box set to the given address.
  ops.addresses[0] = o.url;
  ListPageCommand(ops, 0);
  EndAbandonedHttpRequests();
  PrintRows(ops.Rows());
  return ops.PageText().empty() ? 1 : 0;
}

}  // namespace mivo::cli
