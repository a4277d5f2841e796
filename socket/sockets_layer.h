// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "socket/wsa_errors.h"

namespace mivo {

inline constexpr int SOCKET_ERROR = -1;

using SOCKET = std::int32_t;
inline constexpr SOCKET INVALID_SOCKET = -1;

// Address families, types and protocols as the Windows Sockets calls number them.
inline constexpr int AF_INET_W = 2;
inline constexpr int SOCK_STREAM_W = 1;
inline constexpr int SOCK_DGRAM_W = 2;
inline constexpr int IPPROTO_TCP_W = 6;
inline constexpr int IPPROTO_UDP_W = 17;

// Socket options and ioctl commands, by their Windows numbers.
inline constexpr int SOL_SOCKET_W = 0xFFFF;
inline constexpr int SO_BROADCAST_W = 0x20;
inline constexpr int SO_SNDBUF_W = 0x1001;
inline constexpr int SO_RCVBUF_W = 0x1002;
inline constexpr int SO_MAX_MSG_SIZE_W = 0x2003;
// Set before a bind to port 0: the port is chosen at connect time instead,
// where the choice does not grow with the number of bound sockets.
inline constexpr int SO_REUSE_UNICASTPORT_W = 0x3007;
inline constexpr std::uint32_t FIONREAD_W = 0x4004667F;
inline constexpr int MSG_PEEK_W = 2;

inline constexpr std::uint32_t INADDR_NONE_W = 0xFFFFFFFF;
inline constexpr std::uint32_t INADDR_ANY_W = 0;

// Notification events; a registration asks for their sum.
inline constexpr int FD_READ = 1;
inline constexpr int FD_WRITE = 2;
inline constexpr int FD_OOB = 4;
inline constexpr int FD_ACCEPT = 8;
inline constexpr int FD_CONNECT = 16;
inline constexpr int FD_CLOSE = 32;
inline constexpr int kNotifySet = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;  // 0x3B

// What the start-up of the sockets layer reports.
struct WSAData {
  std::uint16_t wVersion = 0;  // low byte major, high byte minor
  std::uint16_t wHighVersion = 0;
  std::int16_t iMaxSockets = 0;
};

// An IPv4 socket address; port and address in network byte order.
struct SockAddrIn {
  std::int16_t sin_family = AF_INET_W;
  std::uint16_t sin_port = 0;
  std::uint32_t sin_addr = 0;
};

std::uint16_t HostToNetShort(std::uint16_t v);
std::uint16_t NetToHostShort(std::uint16_t v);

// Outcome of one call: `value` on success, else `error` holds the Windows
// Sockets error number (never 0 on failure).
struct SockResult {
  std::int64_t value = 0;
  int error = 0;

  bool ok() const { return error == 0; }
  static SockResult Fail(int e) { return {SOCKET_ERROR, e}; }
};

// Handle of a pending asynchronous name lookup; 0 = none.
using LookupTask = std::uint32_t;

// Result area of an asynchronous lookup: the layer fills it before it
// reports the answer. Only the IPv4 addresses are kept.
struct HostLookupBuffer {
  static constexpr std::size_t kSize = 1024;
  std::vector<std::uint32_t> addresses;  // network byte order
};

// Receives the notifications of the sockets and lookups registered for it,
// one at a time on the user-interface thread.
class SocketNotifySink {
 public:
  virtual void SocketNotify(SOCKET s, int event, int error) = 0;
  virtual void HostLookupNotify(LookupTask task, int error) = 0;

 protected:
  ~SocketNotifySink() = default;
};

// The platform's sockets calls, each failure reported as its Windows Sockets
// error number. Everything that touches the network goes through here so
// that tests can substitute a fake.
class SocketsLayer {
 public:
  virtual ~SocketsLayer() = default;

  // Returns 0 when started, else an error number; `data` is filled on success.
  virtual int WSAStartup(std::uint16_t requestedVersion, WSAData& data) = 0;
  // Returns 0, or SOCKET_ERROR when there is no start-up to match.
  virtual int WSACleanup() = 0;

  virtual SockResult socket(int af, int type, int protocol) = 0;
  virtual SockResult bind(SOCKET s, const SockAddrIn& name) = 0;
  // On a registered socket a connect that is under way fails with
  // WSAEWOULDBLOCK and ends with FD_CONNECT.
  virtual SockResult connect(SOCKET s, const SockAddrIn& name) = 0;
  virtual SockResult listen(SOCKET s, int backlog) = 0;
  // `addr` may be null.
  virtual SockResult accept(SOCKET s, SockAddrIn* addr) = 0;
  virtual SockResult send(SOCKET s, const std::uint8_t* buf, int len, int flags) = 0;
  virtual SockResult sendto(SOCKET s, const std::uint8_t* buf, int len, int flags, const SockAddrIn& to) = 0;
  virtual SockResult recv(SOCKET s, std::uint8_t* buf, int len, int flags) = 0;
  // `from` may be null.
  virtual SockResult recvfrom(SOCKET s, std::uint8_t* buf, int len, int flags, SockAddrIn* from) = 0;
  virtual SockResult closesocket(SOCKET s) = 0;
  virtual SockResult getsockname(SOCKET s, SockAddrIn& name) = 0;
  virtual SockResult getpeername(SOCKET s, SockAddrIn& name) = 0;
  virtual SockResult getsockopt(SOCKET s, int level, int optname, std::int32_t& value) = 0;
  virtual SockResult setsockopt(SOCKET s, int level, int optname, std::int32_t value) = 0;
  virtual SockResult ioctlsocket(SOCKET s, std::uint32_t cmd, std::uint32_t& arg) = 0;

  // Dotted text -> address in network order, INADDR_NONE_W when it does not parse.
  virtual std::uint32_t inet_addr(const std::string& text) = 0;
  virtual std::string inet_ntoa(std::uint32_t addr) = 0;
  virtual SockResult gethostname(std::string& name) = 0;
  // Synchronous lookup: the IPv4 addresses of `name`, network order.
  virtual SockResult gethostbyname(const std::string& name, std::vector<std::uint32_t>& addresses) = 0;

  // Registers `s` for `events` reported to `sink`; events 0 or a null sink
  // ends the registration. Makes the socket non-blocking.
  virtual SockResult WSAAsyncSelect(SOCKET s, SocketNotifySink* sink, int events) = 0;
  // The block an asynchronous lookup writes its answer into; null when it
  // cannot be had.
  virtual std::unique_ptr<HostLookupBuffer> AllocLookupBuffer() = 0;
  virtual void FreeLookupBuffer(std::unique_ptr<HostLookupBuffer> buffer) = 0;
  // Starts a lookup of `name` whose answer goes into `buffer` and is
  // reported to `sink`. Returns 0 when it did not start (`error` says why).
  virtual LookupTask WSAAsyncGetHostByName(SocketNotifySink* sink, const std::string& name, HostLookupBuffer* buffer,
                                           int& error) = 0;
  // Fails when the lookup is unknown or already answered.
  virtual SockResult WSACancelAsyncRequest(LookupTask task) = 0;
};

// POSIX sockets behind the Windows Sockets conventions. Notifications of
// every registered socket come through one epoll instance watched by one
// notifier of the Qt event loop, with Windows' re-enabling rules: FD_READ
// once until the next recv, FD_ACCEPT once until the next accept, FD_WRITE
// after a connect and after a send that would block, FD_CLOSE once and only
// when no unread data is left (10054 for a reset). Descriptors belong to the
// process, and so do that epoll instance and what the layer knows of each
// descriptor: every instance of the layer shares them.
class PosixSocketsLayer : public SocketsLayer {
 public:
  PosixSocketsLayer() = default;
  PosixSocketsLayer(const PosixSocketsLayer&) = delete;
  PosixSocketsLayer& operator=(const PosixSocketsLayer&) = delete;

  int WSAStartup(std::uint16_t requestedVersion, WSAData& data) override;
  int WSACleanup() override;

  int StartCount() const { return startCount_; }

  SockResult socket(int af, int type, int protocol) override;
  SockResult bind(SOCKET s, const SockAddrIn& name) override;
  SockResult connect(SOCKET s, const SockAddrIn& name) override;
  SockResult listen(SOCKET s, int backlog) override;
  SockResult accept(SOCKET s, SockAddrIn* addr) override;
  SockResult send(SOCKET s, const std::uint8_t* buf, int len, int flags) override;
  SockResult sendto(SOCKET s, const std::uint8_t* buf, int len, int flags, const SockAddrIn& to) override;
  SockResult recv(SOCKET s, std::uint8_t* buf, int len, int flags) override;
  SockResult recvfrom(SOCKET s, std::uint8_t* buf, int len, int flags, SockAddrIn* from) override;
  SockResult closesocket(SOCKET s) override;
  SockResult getsockname(SOCKET s, SockAddrIn& name) override;
  SockResult getpeername(SOCKET s, SockAddrIn& name) override;
  SockResult getsockopt(SOCKET s, int level, int optname, std::int32_t& value) override;
  SockResult setsockopt(SOCKET s, int level, int optname, std::int32_t value) override;
  SockResult ioctlsocket(SOCKET s, std::uint32_t cmd, std::uint32_t& arg) override;
  std::uint32_t inet_addr(const std::string& text) override;
  std::string inet_ntoa(std::uint32_t addr) override;
  SockResult gethostname(std::string& name) override;
  SockResult gethostbyname(const std::string& name, std::vector<std::uint32_t>& addresses) override;
  SockResult WSAAsyncSelect(SOCKET s, SocketNotifySink* sink, int events) override;
  std::unique_ptr<HostLookupBuffer> AllocLookupBuffer() override;
  void FreeLookupBuffer(std::unique_ptr<HostLookupBuffer> buffer) override;
  LookupTask WSAAsyncGetHostByName(SocketNotifySink* sink, const std::string& name, HostLookupBuffer* buffer,
                                   int& error) override;
  SockResult WSACancelAsyncRequest(LookupTask task) override;

  // A connect still under way after this long ends with WSAETIMEDOUT.
  static constexpr std::chrono::milliseconds kConnectTimeout{21000};
  void SetConnectTimeout(std::chrono::milliseconds timeout);

  // Queues a notification for a registered socket as if the platform had
  // raised it; delivered from the event loop like any other.
  void PostNotification(SOCKET s, int event, int error);

  // Number of sockets registered for notifications, and of sockets made
  // through the layer and not yet closed.
  std::size_t Registered() const;
  std::size_t OpenSockets() const;

 private:
  int startCount_ = 0;
  std::int16_t maxSockets_ = 0;
};

// The layer in force for the process.
SocketsLayer& Sockets();
// The POSIX layer of the process (in force unless a test installed another).
PosixSocketsLayer& PosixSockets();
// Installs `layer` (not owned); nullptr restores the POSIX layer. Returns the previous one.
SocketsLayer* SetSockets(SocketsLayer* layer);

}  // namespace mivo
