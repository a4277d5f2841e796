#pragma once

namespace mivo {

class MainWindowOps;

// The reachability tests of the main window and their socket controls (Wsktest).
class ConnectionTester {
 public:
  explicit ConnectionTester(MainWindowOps& ops) : ops_(ops) {}

  void conTest();
  void testall();

 private:
  MainWindowOps& ops_;
};

}  // namespace mivo
