#include <cstdio>
#include <fstream>
#include <iterator>

#include "cli/commands.h"
#include "cli/print_rows.h"
#include "common/gbk.h"
#include "harvester/page_parser.h"

namespace mivo::cli {

int Parse(int argc, char** argv) {
  if (argc != 1) {
    std::fprintf(stderr, "usage: mivoproxy-cli parse FILE\n");
    return 2;
  }
  std::ifstream in(argv[0], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot open %s\n", argv[0]);
    return 2;
  }
  const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  HeadlessMainOps ops;
  EchoPanelsToStderr(ops);
  ops.SetPageText(FromGbk(bytes));
  ParseSource(ops);
  PrintRows(ops.Rows());
  return ops.PageText().empty() ? 1 : 0;
}

}  // namespace mivo::cli
