// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/sample_pages.h"

namespace mivo::sample {

// The site's proxies as the lists found elsewhere give them, every proxy of
// every page once:
//   /list.txt        address:port
//   /list-urls.txt   scheme://[user:password@]address:port, credentials where the proxy asks for them
//   /list.json       [{"ip", "port", "protocol"[, "username", "password"]}]
//   /list.csv        the same with a header line
//   /generated.txt?rows=N   N made-up proxies as address:port
struct ListAnswer {
  int status = 200;
  std::string body;  // ASCII
};
std::optional<ListAnswer> ListFor(const std::vector<SamplePage>& pages, const std::string& path,
                                  const std::string& rowsParameter);

}  // namespace mivo::sample
