#include "page_download.h"

#include "harvester/main_window_ops.h"
#include "harvester/page_parser.h"

namespace mivo {

std::string GetSource(MainWindowOps& ops, const std::string& address) {
  (void)ops;
  (void)address;
  return {};  // the download comes with the request object
}

void ListPageCommand(MainWindowOps& ops, int k) {
  ops.SetPageText({});
  ops.SetPageText(GetSource(ops, ops.AddressText(k)));
  ParseSource(ops);
}

}  // namespace mivo
