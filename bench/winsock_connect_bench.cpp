// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

// 5,000 controls connecting at once to one loopback listener, beside a plain
// epoll loop making the same connects.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "bench/support/bench_support.h"
#include "socket/winsock.h"
#include "tests/support/wait.h"

namespace mivo {
namespace {

constexpr int kControls = 5000;

// Accepts on its own thread, so that the kernel's accept queue never
// overflows; closes everything with a reset so no TIME_WAIT is left.
class Acceptor {
 public:
  Acceptor() {
    sockaddr_in a{};
    fd_ = bench::ListenOnLoopback(4096, a);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] {
      for (;;) {
        const int c = ::accept(fd_, nullptr, nullptr);
        if (c < 0) return;
        std::lock_guard<std::mutex> lock(mu_);
        accepted_.push_back(c);
      }
    });
  }
  ~Acceptor() {
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
    DropAll();
  }
  std::uint16_t port() const { return port_; }
  // Waits (yielding, bounded) until the thread has taken `n` connections.
  void WaitAccepted(std::size_t n) {
    for (int spins = 0; spins < 10000000; ++spins) {
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (accepted_.size() >= n) return;
      }
      std::this_thread::yield();
    }
  }
  void DropAll() {
    std::lock_guard<std::mutex> lock(mu_);
    for (int c : accepted_) {
      linger l{1, 0};
      ::setsockopt(c, SOL_SOCKET, SO_LINGER, &l, sizeof l);
      ::close(c);
    }
    accepted_.clear();
  }

 private:
  int fd_;
  std::uint16_t port_ = 0;
  std::mutex mu_;
  std::vector<int> accepted_;
  std::thread thread_;
};

void BM_WinSockConnect5000(benchmark::State& state) {
  Acceptor acceptor;
  double perControl = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const long before = bench::ResidentBytes();
    std::vector<std::unique_ptr<WinSock>> controls;
    controls.reserve(kControls);
    int connected = 0, failed = 0;
    for (int i = 0; i < kControls; ++i) {
      controls.push_back(std::make_unique<WinSock>());
      controls.back()->events.Connect = [&connected] { ++connected; };
      controls.back()->events.Error = [&failed](std::int16_t, std::string&, std::int32_t, std::string, std::string,
                                                std::int32_t, bool&) { ++failed; };
    }
    state.ResumeTiming();
    for (auto& c : controls) c->Connect("127.0.0.1", acceptor.port());
    test::WaitUntil([&] { return connected + failed == kControls; }, 60000);
    state.PauseTiming();
    // Freed memory is reused by later rounds, so the first round tells.
    if (perControl == 0) perControl = static_cast<double>(bench::ResidentBytes() - before) / kControls;
    if (failed != 0) state.SkipWithError("connects failed");
    acceptor.WaitAccepted(kControls);
    acceptor.DropAll();  // resets: the controls' sockets close without TIME_WAIT
    controls.clear();
    state.ResumeTiming();
  }
  state.counters["bytes_per_control"] = perControl;
}

void BM_PlainEpollConnect5000(benchmark::State& state) {
  Acceptor acceptor;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(acceptor.port());
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int ep = epoll_create1(EPOLL_CLOEXEC);
  for (auto _ : state) {
    std::vector<int> fds;
    fds.reserve(kControls);
    for (int i = 0; i < kControls; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      epoll_event ev{};
      ev.events = EPOLLOUT;
      ev.data.fd = fd;
      epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
      ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
      fds.push_back(fd);
    }
    int done = 0;
    epoll_event evs[256];
    while (done < kControls) {
      const int n = epoll_wait(ep, evs, 256, 10000);
      if (n <= 0) break;
      for (int i = 0; i < n; ++i) {
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(evs[i].data.fd, SOL_SOCKET, SO_ERROR, &err, &len);
        epoll_ctl(ep, EPOLL_CTL_DEL, evs[i].data.fd, nullptr);
        ++done;
      }
    }
    state.PauseTiming();
    acceptor.WaitAccepted(kControls);
    acceptor.DropAll();
    for (int fd : fds) ::close(fd);
    state.ResumeTiming();
  }
  ::close(ep);
}

BENCHMARK(BM_WinSockConnect5000)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_PlainEpollConnect5000)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
MIVO_BENCH_RATIO("BM_WinSockConnect5000", "BM_PlainEpollConnect5000", 2.0);

}  // namespace
}  // namespace mivo
