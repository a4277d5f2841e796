#include "connection_test.h"

namespace mivo {

void ConnectionTester::conTest() { (void)ops_; }

void ConnectionTester::testall() {}

}  // namespace mivo
