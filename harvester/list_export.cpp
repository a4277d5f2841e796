#include "list_export.h"

namespace mivo {

void uploadlst(MainWindowOps&) {}

}  // namespace mivo
