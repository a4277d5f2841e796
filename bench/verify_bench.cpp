// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

// Verifying lists of 2,000, 20,000 and 100,000 rows on loopback in the sample
// site's style (a third refusing, the rest SOCKS4, SOCKS5 and HTTP in turn,
// each row asking a judge through its proxy) beside a "测试所有" walk over the
// same rows in the same run; the process memory each list row costs; and
// whether every row's verdict is the one its proxy earns at every size.
//
// The proxies and the judge run in a child process (this program with
// --serve-proxies), so that their work and their memory stay out of what is
// measured here. The longer lists repeat the 2,000 proxies.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bench/support/bench_support.h"
#include "common/fdlimit.h"
#include "common/presenter.h"
#include "harvester/connection_tester.h"
#include "harvester/main_window_ops.h"
#include "tests/support/wait.h"
#include "tools/proxy_handshakes.h"
#include "tools/test_certificates.h"
#include "verify/tls_channel.h"
#include "verify/verifier.h"

namespace mivo {
namespace {

using bench::Clock;
using bench::MsSince;
constexpr int kProxies = 2000;

// ----- the child: the listed proxies and the echo server behind them -----

// The listed proxies' handshakes (the sample site's own) and an echo server,
// served by one epoll loop: the proxies' side of the work stays small, so
// that what is measured is this program's side.
class ProxyLoop {
 public:
  ProxyLoop() : ep_(epoll_create1(EPOLL_CLOEXEC)) {}

  // A listening proxy of `kind`, or the judge (over TLS with `tls`).
  int Listen(const std::string& address, int backlog, std::optional<sample::ProxyKind> kind,
             verify::TlsContext* tls = nullptr) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a = Address(address, 0);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, backlog) != 0) return 0;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    Add(fd, kind ? Conn::Listener : Conn::JudgeListener, kind.value_or(sample::ProxyKind::Http11));
    conns_[static_cast<std::size_t>(fd)]->serverTls = tls;
    return ntohs(a.sin_port);
  }

  // Serves until `stop` is readable.
  void Run(int stop) {
    epoll_event ev{EPOLLIN, {.u64 = ~0ull}};
    epoll_ctl(ep_, EPOLL_CTL_ADD, stop, &ev);
    epoll_event events[256];
    for (;;) {
      const int n = epoll_wait(ep_, events, 256, -1);
      for (int i = 0; i < n; ++i) {
        if (events[i].data.u64 == ~0ull) return;
        Ready(static_cast<int>(events[i].data.u64), events[i].events);
      }
    }
  }

 private:
  enum class Conn { Listener, JudgeListener, Client, Target, Judge };
  struct Entry {
    Conn what;
    sample::ProxyKind kind;
    std::unique_ptr<sample::ProxyHandshake> handshake;
    int peer = -1;  // client <-> target
    bool connecting = false;
    std::string held;                         // a target's bytes until it is connected; a judge's request so far
    verify::TlsContext* serverTls = nullptr;  // a judge listener's, when it speaks TLS
    std::unique_ptr<verify::TlsSession> tls;  // a judge connection's
  };

  static sockaddr_in Address(const std::string& address, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    return a;
  }
  void Add(int fd, Conn what, sample::ProxyKind kind, std::uint32_t events = EPOLLIN) {
    if (static_cast<std::size_t>(fd) >= conns_.size()) conns_.resize(static_cast<std::size_t>(fd) + 1024);
    conns_[static_cast<std::size_t>(fd)] =
        std::make_unique<Entry>(Entry{what, kind, nullptr, -1, false, {}, nullptr, nullptr});
    epoll_event ev{events, {.u64 = static_cast<std::uint64_t>(fd)}};
    epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &ev);
  }
  void Close(int fd) {
    if (fd < 0 || !conns_[static_cast<std::size_t>(fd)]) return;
    const int peer = conns_[static_cast<std::size_t>(fd)]->peer;
    conns_[static_cast<std::size_t>(fd)].reset();
    ::close(fd);
    if (peer >= 0 && conns_[static_cast<std::size_t>(peer)]) {
      conns_[static_cast<std::size_t>(peer)]->peer = -1;
      Close(peer);
    }
  }
  static void Send(int fd, const std::string& bytes) {
    if (!bytes.empty()) (void)!::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }
  void Apply(int client, const sample::HandshakeTurn& turn) {
    Entry& c = *conns_[static_cast<std::size_t>(client)];
    Send(client, turn.reply);
    if (turn.open) {
      const int t = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      const sockaddr_in target = Address(turn.open->address.toString().toStdString(), turn.open->port);
      ::connect(t, reinterpret_cast<const sockaddr*>(&target), sizeof target);
      Add(t, Conn::Target, c.kind, EPOLLOUT | EPOLLIN);
      conns_[static_cast<std::size_t>(t)]->peer = client;
      conns_[static_cast<std::size_t>(t)]->connecting = true;
      c.peer = t;
    }
    if (!turn.toTarget.empty() && c.peer >= 0) {
      Entry& t = *conns_[static_cast<std::size_t>(c.peer)];
      if (t.connecting)
        t.held += turn.toTarget;
      else
        Send(c.peer, turn.toTarget);
    }
    if (turn.close) Close(client);
  }
  void Ready(int fd, std::uint32_t events) {
    if (!conns_[static_cast<std::size_t>(fd)]) return;
    Entry& e = *conns_[static_cast<std::size_t>(fd)];
    if (e.what == Conn::Listener || e.what == Conn::JudgeListener) {
      for (int c; (c = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
        const sample::ProxyKind kind = e.kind;
        const bool judge = e.what == Conn::JudgeListener;
        verify::TlsContext* tls = e.serverTls;
        Add(c, judge ? Conn::Judge : Conn::Client, kind);
        if (tls) {
          auto& session = conns_[static_cast<std::size_t>(c)]->tls;
          session = std::make_unique<verify::TlsSession>(*tls, std::string());
          session->Start();
        }
        if (!judge) {
          sample::SampleProxy p;
          p.kind = kind;
          conns_[static_cast<std::size_t>(c)]->handshake = sample::HandshakeFor(p);
        }
      }
      return;
    }
    if (e.what == Conn::Target && e.connecting && (events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
      e.connecting = false;
      int err = 0;
      socklen_t len = sizeof err;
      getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
      epoll_event ev{EPOLLIN, {.u64 = static_cast<std::uint64_t>(fd)}};
      epoll_ctl(ep_, EPOLL_CTL_MOD, fd, &ev);
      const int client = e.peer;
      if (err == 0) Send(fd, std::exchange(e.held, {}));
      if (client >= 0) Apply(client, conns_[static_cast<std::size_t>(client)]->handshake->TargetConnected(err == 0));
      return;
    }
    char buf[16384];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      if (n < 0 && errno == EAGAIN) return;
      Close(fd);
      return;
    }
    const std::string bytes(buf, static_cast<std::size_t>(n));
    switch (e.what) {
      case Conn::Judge: {
        // Says who asked, once the request's head is in, and hangs up.
        if (e.tls) {
          e.tls->Feed(bytes);
          Send(fd, e.tls->TakeOutgoing());
          e.held += e.tls->TakePlaintext();
        } else {
          e.held += bytes;
        }
        if (e.held.find("\r\n\r\n") == std::string::npos) break;
        sockaddr_in peer{};
        socklen_t plen = sizeof peer;
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &plen);
        char address[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
        const std::string body = std::string("REMOTE_ADDR = ") + address + "\n";
        const std::string reply =
            "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        if (e.tls) {
          e.tls->Write(reply);
          Send(fd, e.tls->TakeOutgoing());
        } else {
          Send(fd, reply);
        }
        Close(fd);
        break;
      }
      case Conn::Target:
        if (e.peer >= 0) Send(e.peer, bytes);
        break;
      case Conn::Client: Apply(fd, e.handshake->Received(bytes)); break;
      case Conn::Listener:
      case Conn::JudgeListener: break;
    }
  }

  int ep_;
  // By descriptor; an entry stays put while others come and go.
  std::vector<std::unique_ptr<Entry>> conns_;
};

// Proxy i on its own loopback address: every third refuses, the others speak
// SOCKS4, SOCKS5 and HTTP in turn; a judge over plain HTTP and one over TLS.
// Prints "judge PORT", "https PORT CAFILE", one "address port type" line per
// proxy, then "ready"; serves until its standard input ends.
int ServeProxies() {
  RaiseOpenFileLimit();
  ProxyLoop loop;
  const int judgePort = loop.Listen("127.0.0.1", 4096, std::nullopt);
  std::string error;
  const sample::TestPki* pki = sample::TestCertificates(&error);
  if (!pki) return 1;
  const std::unique_ptr<verify::TlsContext> serverTls =
      verify::TlsContext::MakeServer(pki->server.certPem + pki->ca.certPem, pki->server.keyPem, error);
  if (!serverTls) return 1;
  const int httpsPort = loop.Listen("127.0.0.1", 4096, std::nullopt, serverTls.get());
  QTemporaryDir dir;
  const std::string caFile = dir.filePath("ca.pem").toStdString();
  if (!sample::WritePemFile(caFile, pki->ca.certPem, &error)) return 1;
  // Bound, never listening: connections to its port are refused on every address.
  const int refusing = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  socklen_t len = sizeof a;
  ::bind(refusing, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(refusing, reinterpret_cast<sockaddr*>(&a), &len);
  const int refusedPort = ntohs(a.sin_port);

  std::printf("judge %d\nhttps %d %s\n", judgePort, httpsPort, caFile.c_str());
  const sample::ProxyKind kinds[] = {sample::ProxyKind::Socks4, sample::ProxyKind::Socks5, sample::ProxyKind::Http11};
  int live = 0;
  for (int i = 0; i < kProxies; ++i) {
    const std::string address = "127.0." + std::to_string(2 + i / 250) + "." + std::to_string(1 + i % 250);
    const sample::ProxyKind kind = kinds[live % 3];
    int port = refusedPort;
    if (i % 3 != 1) {
      ++live;
      port = loop.Listen(address, 64, kind);
      if (port == 0) return 1;
    }
    std::printf("%s %d %s\n", address.c_str(), port, sample::TypeText(kind));
  }
  std::printf("ready\n");
  std::fflush(stdout);
  loop.Run(STDIN_FILENO);
  ::close(refusing);
  return 0;
}
MIVO_BENCH_CHILD_MODE("--serve-proxies", ServeProxies);

struct Site {
  QProcess child;
  std::vector<verify::Row> rows;  // one per proxy
  int judgePort = 0;
  int httpsPort = 0;
  std::shared_ptr<verify::TlsContext> trust;  // the child's test CA

  bool Start() {
    child.start(QCoreApplication::applicationFilePath(), {"--serve-proxies"});
    if (!child.waitForStarted(10000)) return false;
    std::string line;
    QDeadlineTimer deadline(60000);
    while (!deadline.hasExpired()) {
      if (!child.canReadLine() && !child.waitForReadyRead(1000)) continue;
      while (child.canReadLine()) {
        line = child.readLine().trimmed().toStdString();
        if (line == "ready") return static_cast<int>(rows.size()) == kProxies && judgePort != 0;
        if (line.rfind("judge ", 0) == 0) {
          judgePort = std::atoi(line.c_str() + 6);
          continue;
        }
        if (line.rfind("https ", 0) == 0) {
          const std::size_t space = line.find(' ', 6);
          httpsPort = std::atoi(line.substr(6, space - 6).c_str());
          std::string error;
          trust = verify::TlsContext::Make(line.substr(space + 1), error);
          if (!trust) return false;
          continue;
        }
        const std::size_t s1 = line.find(' '), s2 = line.find(' ', s1 + 1);
        rows.push_back({line.substr(0, s1), line.substr(s1 + 1, s2 - s1 - 1), line.substr(s2 + 1), {}, {}});
      }
    }
    return false;
  }
  ~Site() {
    child.closeWriteChannel();
    if (!child.waitForFinished(10000)) child.kill();
  }
};

// The check walk as `mivoproxy-cli check` runs it: every row in the list,
// testall, then the loop until each row has its mark.
double CheckWalk(const std::vector<verify::Row>& rows, int& successes) {
  HeadlessMainOps ops;
  for (const verify::Row& r : rows) {
    ops.Rows().Append(r.address);
    ops.Rows().SetText(ops.Rows().Count(), ProxyColumn::Port, r.port);
  }
  auto allMarked = [&] {
    for (int n = 1; n <= ops.Rows().Count(); ++n)
      if (ops.Rows().Text(n, ProxyColumn::Result).empty()) return false;
    return true;
  };
  ConnectionTester tester(ops);
  const auto t0 = Clock::now();
  tester.testall();
  test::WaitUntil(allMarked, 600000);
  const double ms = MsSince(t0);
  successes = 0;
  for (int n = 1; n <= ops.Rows().Count(); ++n) successes += ops.Rows().Text(n, ProxyColumn::Result) == kMarkSuccess;
  return ms;
}

// The site, started once for every benchmark of the run.
Site* TheSite() {
  static Site* site = [] {
    auto* s = new Site;
    if (!s->Start()) {
      delete s;
      return static_cast<Site*>(nullptr);
    }
    return s;
  }();
  return site;
}

// The proxies repeated to `count` rows.
std::vector<verify::Row> Repeated(const std::vector<verify::Row>& proxies, std::size_t count) {
  std::vector<verify::Row> rows;
  rows.reserve(count);
  for (std::size_t i = 0; i < count; ++i) rows.push_back(proxies[i % proxies.size()]);
  return rows;
}

// Row i lists proxy i % 2000; every third proxy refuses.
bool Live(std::size_t row) { return row % kProxies % 3 != 1; }

void BM_Verify(benchmark::State& state) {
  RecordingPresenter quiet;
  Site* site = TheSite();
  if (!site) {
    state.SkipWithError("the proxies' process did not start");
    return;
  }
  const std::vector<verify::Row> rows = Repeated(site->rows, static_cast<std::size_t>(state.range(0)));
  verify::Options o;
  std::string error;
  const std::optional<verify::JudgeUrl> judge =
      verify::ParseJudgeUrl("http://127.0.0.1:" + std::to_string(site->judgePort) + "/judge", error);
  o.judges.push_back({*judge, "127.0.0.1"});
  o.ownAddresses.push_back("127.0.0.1");

  long bytesPerRow = -1;
  std::size_t peak = 0, wrong = 0, passed = 0;
  std::array<double, 3> stages{};  // connect, handshake, answer: ms summed over passing rows
  for (auto _ : state) {
    const long before = bench::ResidentBytes();
    long most = before;
    auto v = std::make_unique<verify::Verifier>(rows, o);
    bool finished = false;
    v->onFinished = [&] { finished = true; };
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] { most = std::max(most, bench::ResidentBytes()); });
    sampler.start(5);
    const auto t0 = Clock::now();
    v->Start();
    test::WaitUntil([&] { return finished; }, 600000);
    state.SetIterationTime(MsSince(t0) / 1000);
    sampler.stop();
    most = std::max(most, bench::ResidentBytes());
    bytesPerRow = (most - before) / static_cast<long>(rows.size());
    peak = v->PeakInFlight();
    // The verdict a row's proxy earns: a pass through the judge, or refused.
    wrong = passed = 0;
    stages = {};
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const verify::Result& r = v->Results()[i];
      passed += r.Ok();
      wrong += Live(i) ? !r.Ok() : r.reason != verify::Reason::Refused;
      if (!r.Ok()) continue;
      stages[0] += r.connectMs;
      stages[1] += r.handshakeMs;
      stages[2] += r.answerMs;
    }
  }
  state.counters["rows"] = static_cast<double>(rows.size());
  state.counters["passed"] = static_cast<double>(passed);
  state.counters["wrong_verdicts"] = static_cast<double>(wrong);
  state.counters["bytes_per_row"] = static_cast<double>(bytesPerRow);
  state.counters["in_flight"] = static_cast<double>(peak);
  std::printf(
      "verify %zu rows: %zu passed, %zu verdicts not the proxy's own (goal 0), %ld bytes of process memory "
      "per list row (goal < 2048), %zu in flight at most; a passing row's connect, handshake and answer took "
      "%.1f, %.1f and %.1f ms on average\n",
      rows.size(), passed, wrong, bytesPerRow, peak, stages[0] / passed, stages[1] / passed, stages[2] / passed);
}

void BM_Check(benchmark::State& state) {
  RecordingPresenter quiet;
  Site* site = TheSite();
  if (!site) {
    state.SkipWithError("the proxies' process did not start");
    return;
  }
  const std::vector<verify::Row> rows = Repeated(site->rows, static_cast<std::size_t>(state.range(0)));
  int successes = 0;
  for (auto _ : state) state.SetIterationTime(CheckWalk(rows, successes) / 1000);
  state.counters["successes"] = successes;
}

// The same 2,000 rows asking for a page through each proxy: over TLS (1) or plain HTTP (0).
void BM_VerifyPage(benchmark::State& state) {
  RecordingPresenter quiet;
  Site* site = TheSite();
  if (!site) {
    state.SkipWithError("the proxies' process did not start");
    return;
  }
  const bool https = state.range(0) == 1;
  verify::Options o;
  std::string error;
  const std::optional<verify::JudgeUrl> url =
      verify::ParseJudgeUrl((https ? "https://127.0.0.1:" + std::to_string(site->httpsPort)
                                   : "http://127.0.0.1:" + std::to_string(site->judgePort)) +
                                "/page",
                            error, "--url");
  o.page = verify::FarSide{*url, "127.0.0.1"};
  o.expect = "REMOTE_ADDR";
  o.tls = site->trust;
  std::size_t wrong = 0;
  for (auto _ : state) {
    verify::Verifier v(site->rows, o);
    bool finished = false;
    v.onFinished = [&] { finished = true; };
    const auto t0 = Clock::now();
    v.Start();
    test::WaitUntil([&] { return finished; }, 600000);
    state.SetIterationTime(MsSince(t0) / 1000);
    wrong = 0;
    for (std::size_t i = 0; i < site->rows.size(); ++i)
      wrong += Live(i) ? !v.Results()[i].Ok() : v.Results()[i].reason != verify::Reason::Refused;
  }
  state.counters["wrong_verdicts"] = static_cast<double>(wrong);
  std::printf("verify %zu rows asking for a page over %s: %zu verdicts not the proxy's own (goal 0)\n",
              site->rows.size(), https ? "https" : "http", wrong);
}

// One round per size: every round leaves its connections in TIME_WAIT on loopback for a minute.
BENCHMARK(BM_Verify)->Arg(2000)->Arg(20000)->Arg(100000)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
BENCHMARK(BM_Check)->Arg(2000)->Arg(20000)->Arg(100000)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
MIVO_BENCH_RATIO("BM_Verify/100000/iterations:1/manual_time", "BM_Check/100000/iterations:1/manual_time", 3.0);
BENCHMARK(BM_VerifyPage)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
MIVO_BENCH_RATIO("BM_VerifyPage/1/iterations:1/manual_time", "BM_VerifyPage/0/iterations:1/manual_time", 2.0);

}  // namespace
}  // namespace mivo
