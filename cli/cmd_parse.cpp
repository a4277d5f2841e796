#include <cstdio>

#include "cli/commands.h"
#include "cli/options.h"
#include "cli/print_rows.h"
#include "common/gbk.h"
#include "harvester/page_parser.h"

namespace mivo::cli {

int Parse(int argc, char** argv) {
  std::string error;
  std::optional<std::string> path = SingleOperand(argc, argv, "FILE", error);
  std::optional<std::string> bytes = path ? ReadWholeFile(*path, error) : std::nullopt;
  if (!bytes) {
    std::fprintf(stderr, "mivoproxy-cli parse: %s\nusage: mivoproxy-cli parse FILE\n", error.c_str());
    return kExitUsage;
  }
  HeadlessMainOps ops;
  EchoPanelsToStderr(ops);
  ops.SetPageText(FromGbk(*bytes));
  ParseSource(ops);
  PrintRows(ops.Rows());
  return ops.PageText().empty() ? 1 : 0;
}

}  // namespace mivo::cli
