#include "proxy_switch.h"

namespace mivo {

void setPro(MainWindowOps&) {}

void closePro(MainWindowOps&) {}

}  // namespace mivo
