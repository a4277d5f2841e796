#pragma once

namespace mivo {

class MainWindowOps;

// Writes the list to the export file beside the program.
void uploadlst(MainWindowOps& ops);

}  // namespace mivo
