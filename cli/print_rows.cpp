#include "print_rows.h"

#include <cstdio>

namespace mivo::cli {

void EchoPanelsToStderr(HeadlessMainOps& ops) {
  ops.onPanel = [](int, const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); };
}

void PrintRows(const ProxyListModel& rows) {
  for (int n = 1; n <= rows.Count(); ++n) {
    const ProxyEntry& r = rows.Row(n);
    std::printf("%s\t%s\t%s\t%s\t%s\n", r.ipAddress.c_str(), r.port.c_str(), r.proxyType.c_str(),
                r.location.c_str(), r.speed.c_str());
  }
}

}  // namespace mivo::cli
