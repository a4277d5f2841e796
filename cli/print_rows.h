#pragma once

#include "harvester/main_window_ops.h"

namespace mivo::cli {

// Status texts go to stderr as they are set.
void EchoPanelsToStderr(HeadlessMainOps& ops);
// One line per row: address, port, type, location, speed, tab-separated.
void PrintRows(const ProxyListModel& rows);

}  // namespace mivo::cli
