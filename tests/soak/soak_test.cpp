// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

// Long runs of the two busiest commands: no descriptor may stay behind and
// memory may not grow from one round to the next.
#include <dirent.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/fdlimit.h"
#include "harvester/connection_tester.h"
#include "harvester/main_window_ops.h"
#include "tests/harvester/loopback_peers.h"
#include "tests/support/wait.h"
#include "tests/tunnel/proxy_peers.h"
#include "tests/tunnel/tunnel_run.h"
#include "tunnel/tunnel_texts.h"

namespace mivo {
namespace {

int OpenDescriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// Growth allowed between the first measured round and the last: allocator
// slack, not a leak of one allocation per row or per tunnel.
constexpr long kSlackKiB = 3 * 1024;

// AddressSanitizer holds freed memory back on purpose, so resident memory
// says nothing there; its leak checker watches the same runs instead.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMemoryIsMeasurable = false;
#else
constexpr bool kMemoryIsMeasurable = true;
#endif

void ExpectFlatMemory(long before) {
  if (kMemoryIsMeasurable) {
    EXPECT_LT(ResidentKiB() - before, kSlackKiB);
  }
}

TEST(Soak, FiveWalksOverTwoThousandRows) {
  RaiseOpenFileLimit();
  constexpr int kRows = 2000;
  std::vector<std::unique_ptr<test::LoopbackPort>> peers;
  HeadlessMainOps ops;
  for (int i = 0; i < kRows; ++i) {
    auto peer = std::make_unique<test::LoopbackPort>();
    if (i % 2 == 0) {
      ASSERT_TRUE(peer->Listen());
    }
    ops.Rows().Append(peer->Address());
    ops.Rows().SetText(i + 1, ProxyColumn::Port, peer->PortText());
    peers.push_back(std::move(peer));
  }
  ConnectionTester tester(ops);
  // Its last outcome and echo are in.
  auto walkEnded = [&] { return !tester.Running(); };

  int descriptors = 0;
  long resident = 0;
  for (int walk = 1; walk <= 5; ++walk) {
    tester.testall();
    ASSERT_TRUE(test::WaitUntil(walkEnded, 30000)) << "walk " << walk;
    test::Settle();
    for (auto& peer : peers) {
      peer->AcceptAll();
      peer->CloseAccepted();  // the proxies hang up between walks
    }
    for (int i = 1; i <= kRows; ++i)
      ASSERT_EQ(ops.Rows().Text(i, ProxyColumn::Result), i % 2 == 1 ? kMarkSuccess : kMarkFailure)
          << "row " << i << ", walk " << walk;
    if (walk == 2) {  // the first walk creates the elements
      descriptors = OpenDescriptors();
      resident = ResidentKiB();
    }
  }
  EXPECT_EQ(OpenDescriptors(), descriptors);
  ExpectFlatMemory(resident);
}

TEST(Soak, TwoHundredTunnelsInARow) {
  test::EchoServer echo;
  test::Endpoint proxy;
  std::unique_ptr<test::ProxyProcess> socks = test::StartMicrosocks(proxy);
  if (!socks) GTEST_SKIP() << "microsocks is not installed";
  Moduleproxy m;
  m.ProxyKind = ProxyType::Socks5;

  int descriptors = 0;
  long resident = 0;
  for (int round = 1; round <= 200; ++round) {
    {
      // The module state outlives each round; the run's own view tells this round's outcome.
      test::TunnelRun run(m);
      run.view.targetHost = "127.0.0.1";
      run.view.targetPort = std::to_string(echo.Port());
      ASSERT_TRUE(run.Connect(proxy.host, proxy.port)) << "round " << round;
      ASSERT_EQ(run.view.status, kTextTargetConnected) << "round " << round;
      ASSERT_EQ(run.RoundTrip(Bytes{'s', 'o', 'a', 'k'}), "soak") << "round " << round;
      run.Disconnect();
    }
    test::Settle();
    if (round == 20) {
      // The echo server's side goes once it sees the proxy's: not counted.
      test::WaitUntil([&] { return echo.open == 0; });
      descriptors = OpenDescriptors();
      resident = ResidentKiB();
    }
  }
  // The echo server closes its side once it sees the proxy's, a moment later,
  // at round 20 as now: what counts is that the number does not grow.
  EXPECT_TRUE(test::WaitUntil([&] { return OpenDescriptors() <= descriptors; }))
      << OpenDescriptors() << " descriptors, " << descriptors << " after round 20";
  ExpectFlatMemory(resident);
}

}  // namespace
}  // namespace mivo
