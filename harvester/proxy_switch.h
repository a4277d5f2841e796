#pragma once

namespace mivo {

class MainWindowOps;

// Makes the selected row the current user's desktop proxy.
void setPro(MainWindowOps& ops);
// Switches the desktop proxy off.
void closePro(MainWindowOps& ops);

}  // namespace mivo
