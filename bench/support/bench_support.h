// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

// What every benchmark program shares. Its main (bench_main.cpp) runs the
// benchmarks with an application object (offscreen unless told otherwise),
// message boxes recorded instead of shown and the open-file limit raised,
// then prints the ratios the benchmarks ask for below.
namespace mivo::bench {

using Clock = std::chrono::steady_clock;

inline double MsSince(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// Resident set size of the process, in bytes.
inline long ResidentBytes() {
  long pages = 0, resident = 0;
  std::ifstream statm("/proc/self/statm");
  statm >> pages >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

// A socket listening on 127.0.0.1 at a free port, which `bound` holds after.
inline int ListenOnLoopback(int backlog, sockaddr_in& bound) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  bound = {};
  bound.sin_family = AF_INET;
  bound.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&bound), sizeof bound);
  ::listen(fd, backlog);
  socklen_t len = sizeof bound;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
  return fd;
}

// Asks main to print, after the run, the ratio of the real time per
// iteration of `measured` to that of `baseline` beside the goal. A name is
// the benchmark's full name or, when it has only one, its function's.
struct Ratio {
  Ratio(const char* measured, const char* baseline, double goal);
};

// A part of the program that runs as a child process of itself: started with
// `flag` as its first argument, main runs `run` instead of the benchmarks,
// before any application object exists, and exits with what it returns.
struct ChildMode {
  ChildMode(const char* flag, int (*run)());
};

}  // namespace mivo::bench

#define MIVO_BENCH_CAT2(a, b) a##b
#define MIVO_BENCH_CAT(a, b) MIVO_BENCH_CAT2(a, b)
#define MIVO_BENCH_RATIO(measured, baseline, goal) \
  static const ::mivo::bench::Ratio MIVO_BENCH_CAT(mivo_bench_ratio_, __LINE__)(measured, baseline, goal)
#define MIVO_BENCH_CHILD_MODE(flag, run) \
  static const ::mivo::bench::ChildMode MIVO_BENCH_CAT(mivo_bench_child_, __LINE__)(flag, run)
