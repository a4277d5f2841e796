// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <array>
#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/installed.h"
#include "socket/sockets_layer.h"

namespace mivo {

// The calls a test can make fail.
enum class SockCall {
  socket,
  bind,
  connect,
  accept,
  send,
  sendto,
  recv,
  closesocket,
  gethostname,
  gethostbyname,
  WSAAsyncSelect,
  WSAAsyncGetHostByName,
  WSACancelAsyncRequest,
  AllocLookupBuffer,
  kCount
};

// A sockets layer for tests: the POSIX layer itself (so loopback peers and
// notifications stay real), with the failures and answers a test scripts.
// Installs itself as the process's layer for its lifetime.
class FaultySocketsLayer : public Installed<PosixSocketsLayer, &SetSockets> {
 public:
  FaultySocketsLayer() = default;
  ~FaultySocketsLayer() override;

  // The next `times` calls of `call` fail with `error` without reaching the
  // platform; times < 0 means every call from now on.
  void FailNext(SockCall call, int error, int times = 1);
  // The calls of `call` with these numbers, counted from 1 from now on, fail
  // with `error`; the others reach the platform.
  void FailCalls(SockCall call, int error, std::set<int> numbers);
  void Heal(SockCall call);
  // Sends take at most `bytes` more bytes in total, then fail with
  // WSAEWOULDBLOCK until ReleaseSends.
  void LimitSends(std::size_t bytes);
  // Lifts the limit and lets every socket a send was refused on hear FD_WRITE.
  void ReleaseSends();
  // The start-up fails with `result` when it is not 0, else reports
  // `version` and `maxSockets`.
  void ScriptStartup(int result, std::uint16_t version, std::int16_t maxSockets);
  // getsockopt of `optname` succeeds with `value`.
  void ScriptOption(int optname, std::int32_t value);
  // gethostname / gethostbyname answer from the script instead of the system.
  void ScriptHostName(std::string name);
  void ScriptHost(const std::string& name, std::vector<std::uint32_t> addresses);
  // Asynchronous lookups of `name` are answered from the event loop with
  // `error` and `addresses` instead of asking a resolver.
  void ScriptLookup(const std::string& name, int error, std::vector<std::uint32_t> addresses);
  // Lookups started and not yet answered or cancelled.
  std::size_t PendingLookups() const { return scriptedLookups_.size(); }

  int Calls(SockCall call) const { return calls_[static_cast<std::size_t>(call)]; }

  // Only what a script can change; the rest is the POSIX layer's.
  int WSAStartup(std::uint16_t requestedVersion, WSAData& data) override;
  SockResult socket(int af, int type, int protocol) override;
  SockResult bind(SOCKET s, const SockAddrIn& name) override;
  SockResult connect(SOCKET s, const SockAddrIn& name) override;
  SockResult accept(SOCKET s, SockAddrIn* addr) override;
  SockResult send(SOCKET s, const std::uint8_t* buf, int len, int flags) override;
  SockResult sendto(SOCKET s, const std::uint8_t* buf, int len, int flags, const SockAddrIn& to) override;
  SockResult recv(SOCKET s, std::uint8_t* buf, int len, int flags) override;
  SockResult closesocket(SOCKET s) override;
  SockResult getsockopt(SOCKET s, int level, int optname, std::int32_t& value) override;
  SockResult gethostname(std::string& name) override;
  SockResult gethostbyname(const std::string& name, std::vector<std::uint32_t>& addresses) override;
  SockResult WSAAsyncSelect(SOCKET s, SocketNotifySink* sink, int events) override;
  std::unique_ptr<HostLookupBuffer> AllocLookupBuffer() override;
  LookupTask WSAAsyncGetHostByName(SocketNotifySink* sink, const std::string& name, HostLookupBuffer* buffer,
                                   int& error) override;
  SockResult WSACancelAsyncRequest(LookupTask task) override;

 private:
  // Counts the call; returns the scripted error for it, 0 when it goes through.
  int Scripted(SockCall call);

  std::array<int, static_cast<std::size_t>(SockCall::kCount)> calls_{};
  std::map<SockCall, std::pair<int, int>> failures_;  // error, times left
  struct NumberedFailures {
    int error;
    int callsBefore;
    std::set<int> numbers;
  };
  std::map<SockCall, NumberedFailures> numberedFailures_;
  struct StartupScript {
    int result;
    std::uint16_t version;
    std::int16_t maxSockets;
  };
  std::optional<StartupScript> startup_;
  std::optional<std::size_t> sendAllowance_;
  std::set<SOCKET> refused_;
  std::map<int, std::int32_t> options_;
  std::optional<std::string> hostName_;
  std::map<std::string, std::vector<std::uint32_t>> hosts_;
  struct LookupScript {
    int error;
    std::vector<std::uint32_t> addresses;
  };
  std::map<std::string, LookupScript> lookupScripts_;
  struct ScriptedLookup {
    SocketNotifySink* sink;
    HostLookupBuffer* buffer;
    LookupScript answer;
  };
  std::map<LookupTask, ScriptedLookup> scriptedLookups_;
  LookupTask nextTask_ = 0x40000000;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace mivo
