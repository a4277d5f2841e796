#include <cstdio>

#include "cli/commands.h"
#include "cli/options.h"
#include "cli/print_rows.h"
#include "harvester/http_request.h"
#include "harvester/page_download.h"
#include "harvester/page_parser.h"

namespace mivo::cli {

int Fetch(int argc, char** argv) {
  std::string error;
  const std::optional<std::string> url = SingleOperand(argc, argv, "URL", error);
  if (url && !IsUsablePageAddress(*url)) error = "not an http or https address: " + *url;
  if (!url || !error.empty()) {
    std::fprintf(stderr, "mivoproxy-cli fetch: %s\nusage: mivoproxy-cli fetch URL\n", error.c_str());
    return kExitUsage;
  }
  HeadlessMainOps ops;
  EchoPanelsToStderr(ops);
  // The list-page command itself, with its box set to the given address.
  ops.addresses[0] = *url;
  ListPageCommand(ops, 0);
  EndAbandonedHttpRequests();
  PrintRows(ops.Rows());
  return ops.PageText().empty() ? 1 : 0;
}

}  // namespace mivo::cli
