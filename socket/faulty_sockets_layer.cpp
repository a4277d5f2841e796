// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "faulty_sockets_layer.h"

#include <QCoreApplication>
#include <algorithm>

namespace mivo {

FaultySocketsLayer::~FaultySocketsLayer() { *alive_ = false; }

void FaultySocketsLayer::FailNext(SockCall call, int error, int times) { failures_[call] = {error, times}; }

void FaultySocketsLayer::FailCalls(SockCall call, int error, std::set<int> numbers) {
  numberedFailures_[call] = {error, calls_[static_cast<std::size_t>(call)], std::move(numbers)};
}

void FaultySocketsLayer::Heal(SockCall call) {
  failures_.erase(call);
  numberedFailures_.erase(call);
}

void FaultySocketsLayer::ScriptStartup(int result, std::uint16_t version, std::int16_t maxSockets) {
  startup_ = StartupScript{result, version, maxSockets};
}

int FaultySocketsLayer::WSAStartup(std::uint16_t requestedVersion, WSAData& data) {
  if (startup_ && startup_->result != 0) return startup_->result;
  const int result = PosixSocketsLayer::WSAStartup(requestedVersion, data);
  if (startup_) {
    data.wVersion = startup_->version;
    data.iMaxSockets = startup_->maxSockets;
  }
  return result;
}

void FaultySocketsLayer::LimitSends(std::size_t bytes) { sendAllowance_ = bytes; }

void FaultySocketsLayer::ReleaseSends() {
  sendAllowance_.reset();
  for (SOCKET s : refused_) PostNotification(s, FD_WRITE, 0);
  refused_.clear();
}

void FaultySocketsLayer::ScriptOption(int optname, std::int32_t value) { options_[optname] = value; }

void FaultySocketsLayer::ScriptHostName(std::string name) { hostName_ = std::move(name); }

void FaultySocketsLayer::ScriptHost(const std::string& name, std::vector<std::uint32_t> addresses) {
  hosts_[name] = std::move(addresses);
}

void FaultySocketsLayer::ScriptLookup(const std::string& name, int error, std::vector<std::uint32_t> addresses) {
  lookupScripts_[name] = {error, std::move(addresses)};
}

int FaultySocketsLayer::Scripted(SockCall call) {
  const int made = ++calls_[static_cast<std::size_t>(call)];
  if (const auto numbered = numberedFailures_.find(call); numbered != numberedFailures_.end()) {
    NumberedFailures& f = numbered->second;
    if (f.numbers.erase(made - f.callsBefore) != 0) return f.error;
  }
  const auto it = failures_.find(call);
  if (it == failures_.end()) return 0;
  const int error = it->second.first;
  if (it->second.second > 0 && --it->second.second == 0) failures_.erase(it);
  return error;
}

SockResult FaultySocketsLayer::socket(int af, int type, int protocol) {
  if (const int e = Scripted(SockCall::socket)) return SockResult::Fail(e);
  return PosixSocketsLayer::socket(af, type, protocol);
}

SockResult FaultySocketsLayer::bind(SOCKET s, const SockAddrIn& name) {
  if (const int e = Scripted(SockCall::bind)) return SockResult::Fail(e);
  return PosixSocketsLayer::bind(s, name);
}

SockResult FaultySocketsLayer::connect(SOCKET s, const SockAddrIn& name) {
  if (const int e = Scripted(SockCall::connect)) return SockResult::Fail(e);
  return PosixSocketsLayer::connect(s, name);
}

SockResult FaultySocketsLayer::accept(SOCKET s, SockAddrIn* addr) {
  if (const int e = Scripted(SockCall::accept)) return SockResult::Fail(e);
  return PosixSocketsLayer::accept(s, addr);
}

SockResult FaultySocketsLayer::send(SOCKET s, const std::uint8_t* buf, int len, int flags) {
  if (const int e = Scripted(SockCall::send)) return SockResult::Fail(e);
  if (!sendAllowance_) return PosixSocketsLayer::send(s, buf, len, flags);
  const int n = static_cast<int>(std::min<std::size_t>(*sendAllowance_, static_cast<std::size_t>(std::max(len, 0))));
  if (n == 0 && len > 0) {
    refused_.insert(s);
    return SockResult::Fail(WSAEWOULDBLOCK);
  }
  const SockResult r = PosixSocketsLayer::send(s, buf, n, flags);
  if (r.ok()) *sendAllowance_ -= static_cast<std::size_t>(r.value);
  return r;
}

SockResult FaultySocketsLayer::sendto(SOCKET s, const std::uint8_t* buf, int len, int flags, const SockAddrIn& to) {
  if (const int e = Scripted(SockCall::sendto)) return SockResult::Fail(e);
  return PosixSocketsLayer::sendto(s, buf, len, flags, to);
}

SockResult FaultySocketsLayer::recv(SOCKET s, std::uint8_t* buf, int len, int flags) {
  if (const int e = Scripted(SockCall::recv)) return SockResult::Fail(e);
  return PosixSocketsLayer::recv(s, buf, len, flags);
}

SockResult FaultySocketsLayer::closesocket(SOCKET s) {
  refused_.erase(s);
  // As on Linux, the descriptor is released even when the close reports an error.
  const SockResult r = PosixSocketsLayer::closesocket(s);
  if (const int e = Scripted(SockCall::closesocket)) return SockResult::Fail(e);
  return r;
}

SockResult FaultySocketsLayer::getsockopt(SOCKET s, int level, int optname, std::int32_t& value) {
  if (const auto it = options_.find(optname); it != options_.end()) {
    value = it->second;
    return {};
  }
  return PosixSocketsLayer::getsockopt(s, level, optname, value);
}

SockResult FaultySocketsLayer::gethostname(std::string& name) {
  if (const int e = Scripted(SockCall::gethostname)) return SockResult::Fail(e);
  if (hostName_) {
    name = *hostName_;
    return {};
  }
  return PosixSocketsLayer::gethostname(name);
}

SockResult FaultySocketsLayer::gethostbyname(const std::string& name, std::vector<std::uint32_t>& addresses) {
  if (const int e = Scripted(SockCall::gethostbyname)) return SockResult::Fail(e);
  if (const auto it = hosts_.find(name); it != hosts_.end()) {
    addresses = it->second;
    return addresses.empty() ? SockResult::Fail(WSANO_DATA) : SockResult{};
  }
  return PosixSocketsLayer::gethostbyname(name, addresses);
}

SockResult FaultySocketsLayer::WSAAsyncSelect(SOCKET s, SocketNotifySink* sink, int events) {
  if (const int e = Scripted(SockCall::WSAAsyncSelect)) return SockResult::Fail(e);
  return PosixSocketsLayer::WSAAsyncSelect(s, sink, events);
}

std::unique_ptr<HostLookupBuffer> FaultySocketsLayer::AllocLookupBuffer() {
  if (Scripted(SockCall::AllocLookupBuffer) != 0) return nullptr;
  return PosixSocketsLayer::AllocLookupBuffer();
}

LookupTask FaultySocketsLayer::WSAAsyncGetHostByName(SocketNotifySink* sink, const std::string& name,
                                                     HostLookupBuffer* buffer, int& error) {
  if (const int e = Scripted(SockCall::WSAAsyncGetHostByName)) {
    error = e;
    return 0;
  }
  const auto script = lookupScripts_.find(name);
  if (script == lookupScripts_.end()) return PosixSocketsLayer::WSAAsyncGetHostByName(sink, name, buffer, error);
  const LookupTask task = nextTask_++;
  scriptedLookups_[task] = {sink, buffer, script->second};
  QMetaObject::invokeMethod(
      QCoreApplication::instance(),
      [this, task, alive = alive_] {
        if (!*alive) return;
        const auto it = scriptedLookups_.find(task);
        if (it == scriptedLookups_.end()) return;
        const ScriptedLookup l = it->second;
        scriptedLookups_.erase(it);
        l.buffer->addresses = l.answer.addresses;
        l.sink->HostLookupNotify(task, l.answer.error);
      },
      Qt::QueuedConnection);
  error = 0;
  return task;
}

SockResult FaultySocketsLayer::WSACancelAsyncRequest(LookupTask task) {
  if (const int e = Scripted(SockCall::WSACancelAsyncRequest)) return SockResult::Fail(e);
  if (scriptedLookups_.erase(task) != 0) return {};
  return PosixSocketsLayer::WSACancelAsyncRequest(task);
}

}  // namespace mivo
