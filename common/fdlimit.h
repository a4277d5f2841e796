#pragma once

namespace mivo {

// Raises the soft open-file limit to the hard limit: a test of all rows
// holds one socket per row. Returns the soft limit now in force.
long RaiseOpenFileLimit();

}  // namespace mivo
