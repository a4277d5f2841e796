#pragma once

#include <string>

namespace mivo {

class MainWindowOps;

// Fetches `address` with an HTTP GET while letting other events run; the
// page text, or the empty text when nothing complete arrived in time.
std::string GetSource(MainWindowOps& ops, const std::string& address);

// The list-page command for address box k (http1..http10: 0..9, jywdl1: 10, jywdl2: 11).
void ListPageCommand(MainWindowOps& ops, int k);

}  // namespace mivo
