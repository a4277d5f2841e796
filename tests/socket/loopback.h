// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// Plain POSIX peers on 127.0.0.1 for the socket tests, and a recorder of a
// control's events.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "socket/winsock.h"

namespace mivo::test {

inline sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

inline std::uint16_t LocalPortOf(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

// An owned descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  Fd& operator=(Fd&& o) noexcept {
    Reset();
    fd_ = o.fd_;
    o.fd_ = -1;
    return *this;
  }
  ~Fd() { Reset(); }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  // Closes with a reset instead of an orderly close.
  void Abort() {
    linger l{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    Reset();
  }

 private:
  int fd_ = -1;
};

// A TCP listener on 127.0.0.1 with a port the system chose.
class RawListener {
 public:
  explicit RawListener(int backlog = 16, std::uint16_t port = 0) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    const int one = 1;
    setsockopt(fd_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in a = Loopback(port);
    ok_ = ::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 && ::listen(fd_.get(), backlog) == 0;
    port_ = LocalPortOf(fd_.get());
  }
  bool ok() const { return ok_; }
  std::uint16_t port() const { return port_; }
  int fd() const { return fd_.get(); }
  // Waits up to `ms` for a connection (poll, not a sleep); invalid Fd on time-out.
  Fd Accept(int ms = 5000) {
    pollfd p{fd_.get(), POLLIN, 0};
    if (::poll(&p, 1, ms) != 1) return Fd();
    return Fd(::accept(fd_.get(), nullptr, nullptr));
  }

 private:
  Fd fd_;
  bool ok_ = false;
  std::uint16_t port_ = 0;
};

// A blocking client connected to 127.0.0.1:port (invalid on failure).
inline Fd RawConnect(std::uint16_t port) {
  Fd fd(::socket(AF_INET, SOCK_STREAM, 0));
  const sockaddr_in a = Loopback(port);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) return Fd();
  return fd;
}

// A loopback port nothing listens on.
inline std::uint16_t ClosedPort() {
  Fd fd(::socket(AF_INET, SOCK_STREAM, 0));
  const sockaddr_in a = Loopback(0);
  ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a);
  return LocalPortOf(fd.get());
}

inline bool SendAll(int fd, const std::vector<std::uint8_t>& bytes) {
  std::size_t off = 0;
  while (off < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += static_cast<std::size_t>(n);
  }
  return true;
}

// Reads whatever is waiting without blocking; appends it to `out`. Returns
// false once the peer has closed.
inline bool ReadAvailable(int fd, std::vector<std::uint8_t>& out) {
  std::uint8_t buf[65536];
  for (;;) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) {
      out.insert(out.end(), buf, buf + n);
      continue;
    }
    return n != 0;
  }
}

// Everything a control raised, one line per event.
struct EventLog {
  std::vector<std::string> lines;
  std::vector<SocketState> states;  // State() at each event
  int errors = 0;
  int16_t lastNumber = 0;
  std::string lastDescription, lastSource;
  int connects = 0, closes = 0;

  void Attach(WinSock& w) {
    WinSock* p = &w;
    w.events.CloseSck = [this, p] {
      ++closes;
      Add("CloseSck", p);
    };
    w.events.Connect = [this, p] {
      ++connects;
      Add("Connect", p);
    };
    w.events.ConnectionRequest = [this, p](std::int32_t id) { Add("ConnectionRequest " + std::to_string(id), p); };
    w.events.DataArrival = [this, p](std::int32_t n) { Add("DataArrival " + std::to_string(n), p); };
    w.events.Error = [this, p](std::int16_t Number, std::string& Description, std::int32_t sCode, std::string Source,
                               std::string HelpFile, std::int32_t HelpContext, bool& CancelDisplay) {
      ++errors;
      lastNumber = Number;
      lastDescription = Description;
      lastSource = Source;
      Add("Error " + std::to_string(Number) + " " + Description + " " + Source + " " + std::to_string(sCode) + " [" +
              HelpFile + "] " + std::to_string(HelpContext) + (CancelDisplay ? " cancel" : " show"),
          p);
    };
    w.events.SendComplete = [this, p] { Add("SendComplete", p); };
    w.events.SendProgress = [this, p](std::int32_t sent, std::int32_t left) {
      Add("SendProgress " + std::to_string(sent) + " " + std::to_string(left), p);
    };
  }
  void Add(std::string line, WinSock* w) {
    lines.push_back(std::move(line));
    states.push_back(w->State());
  }
};

}  // namespace mivo::test
