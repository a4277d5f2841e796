// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

namespace mivo::test {

// A TCP socket bound to a loopback address and a free port. As it is, it
// refuses connections to that port and keeps anyone else from taking it;
// Listen() makes it accept them.
class LoopbackPort {
 public:
  explicit LoopbackPort(const std::string& address = "127.0.0.1") : address_(address) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    socklen_t len = sizeof a;
    if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
      port_ = ntohs(a.sin_port);
  }
  ~LoopbackPort() {
    CloseAccepted();
    if (filler_ >= 0) close(filler_);
    if (fd_ >= 0) close(fd_);
  }
  LoopbackPort(const LoopbackPort&) = delete;
  LoopbackPort& operator=(const LoopbackPort&) = delete;

  // With backlog 0 the kernel queues one connection; after that, while
  // nobody accepts, further connection requests get no answer at all.
  bool Listen(int backlog = 128) { return listen(fd_, backlog) == 0; }
  // Stops listening: the port refuses again.
  void StopListening() {
    close(fd_);
    fd_ = -1;
  }

  // Listens with a queue that one connection of our own fills: the port then
  // neither accepts nor refuses, like a host that does not answer.
  bool ListenSilently() {
    if (!Listen(0)) return false;
    filler_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port_));
    inet_pton(AF_INET, address_.c_str(), &a.sin_addr);
    return connect(filler_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }

  // Accepts whatever is queued and keeps it open; returns how many were taken.
  int AcceptAll() {
    int n = 0;
    for (int c; (c = accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0; ++n) accepted_.push_back(c);
    return n;
  }
  void CloseAccepted() {
    for (int c : accepted_) close(c);
    accepted_.clear();
  }

  const std::string& Address() const { return address_; }
  int Port() const { return port_; }
  std::string PortText() const { return std::to_string(port_); }

 private:
  std::string address_;
  int fd_ = -1;
  int port_ = 0;
  int filler_ = -1;
  std::vector<int> accepted_;
};

}  // namespace mivo::test
