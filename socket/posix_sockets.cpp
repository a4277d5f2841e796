// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "sockets_layer.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "socket/notify_loop.h"

namespace mivo {

std::uint16_t HostToNetShort(std::uint16_t v) { return htons(v); }
std::uint16_t NetToHostShort(std::uint16_t v) { return ntohs(v); }

namespace {

SockResult Errno() { return SockResult::Fail(WsaErrorFromErrno(errno)); }

sockaddr_in ToPosix(const SockAddrIn& a) {
  sockaddr_in s{};
  s.sin_family = a.sin_family == AF_INET_W ? AF_INET : static_cast<sa_family_t>(AF_MAX + 1);
  s.sin_port = a.sin_port;
  s.sin_addr.s_addr = a.sin_addr;
  return s;
}

void FromPosix(const sockaddr_storage& st, SockAddrIn& out) {
  out = SockAddrIn{};
  if (st.ss_family != AF_INET) return;
  const auto* in = reinterpret_cast<const sockaddr_in*>(&st);
  out.sin_port = in->sin_port;
  out.sin_addr = in->sin_addr.s_addr;
}

// Windows refuses 0.0.0.0/8 as a destination; Linux would deliver it to this host.
bool UnspecifiedNetwork(const SockAddrIn& a) { return (ntohl(a.sin_addr) >> 24) == 0; }

// getsockname or getpeername.
SockResult AddressOf(int (*call)(int, sockaddr*, socklen_t*), int fd, SockAddrIn& name) {
  sockaddr_storage st{};
  socklen_t len = sizeof st;
  if (call(fd, reinterpret_cast<sockaddr*>(&st), &len) != 0) return Errno();
  FromPosix(st, name);
  return {};
}

// The failure of a send or sendto just made. One that would block is
// answered by FD_WRITE once there is room again.
SockResult SendFailed(int fd) {
  const int err = errno;
  if (err == EAGAIN || err == EWOULDBLOCK) {
    if (Registration* r = Loop().Find(fd)) {
      r->writeArmed = true;
      Loop().Sync(fd);
    }
  }
  return SockResult::Fail(WsaErrorFromErrno(err));
}

}  // namespace

int PosixSocketsLayer::WSAStartup(std::uint16_t requestedVersion, WSAData& data) {
  (void)requestedVersion;  // 1.1 is the only version this layer speaks
  // The limit is read when the layer starts, not again by every control
  // and echo that starts it once more while it runs.
  if (startCount_++ == 0) {
    rlimit lim{};
    long most = std::numeric_limits<std::int16_t>::max();
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY)
      most = std::min<long>(most, static_cast<long>(lim.rlim_cur));
    maxSockets_ = static_cast<std::int16_t>(most);
  }
  data.wVersion = 0x0101;
  data.wHighVersion = 0x0101;
  data.iMaxSockets = maxSockets_;
  return 0;
}

int PosixSocketsLayer::WSACleanup() {
  if (startCount_ == 0) return SOCKET_ERROR;
  --startCount_;
  return 0;
}

SockResult PosixSocketsLayer::socket(int af, int type, int protocol) {
  if (af != AF_INET_W) return SockResult::Fail(WSAEAFNOSUPPORT);
  int ptype = 0;
  if (type == SOCK_STREAM_W && (protocol == 0 || protocol == IPPROTO_TCP_W))
    ptype = SOCK_STREAM;
  else if (type == SOCK_DGRAM_W && (protocol == 0 || protocol == IPPROTO_UDP_W))
    ptype = SOCK_DGRAM;
  else
    return SockResult::Fail(type == SOCK_STREAM_W || type == SOCK_DGRAM_W ? WSAEPROTONOSUPPORT : WSAESOCKTNOSUPPORT);
  const int fd = ::socket(AF_INET, ptype | SOCK_CLOEXEC, 0);
  if (fd < 0) return Errno();
  Loop().Know(fd, ptype == SOCK_STREAM).defaultSizes = ptype == SOCK_STREAM;
  return {fd, 0};
}

SockResult PosixSocketsLayer::bind(SOCKET s, const SockAddrIn& name) {
  Registration* r = Loop().Find(s);
  if (r && r->bound) return SockResult::Fail(WSAEINVAL);
  const bool portAtConnect = r && r->stream && r->portAtConnect && name.sin_port == 0;
  if (portAtConnect && name.sin_addr == INADDR_ANY_W && name.sin_family == AF_INET_W) {
    r->bound = true;
    return {};
  }
  const int on = 1;
  if (portAtConnect && ::setsockopt(s, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on) != 0) return Errno();
  const sockaddr_in a = ToPosix(name);
  if (::bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) return Errno();
  if (r) r->bound = true;
  return {};
}

SockResult PosixSocketsLayer::connect(SOCKET s, const SockAddrIn& name) {
  const sockaddr_in a = ToPosix(name);
  Registration* r = Loop().Find(s);
  const bool async = r && r->sink;
  if (r) {
    r->bound = true;
    r->defaultSizes = false;
  }
  const bool refused = UnspecifiedNetwork(name);
  if (!refused && ::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) {
    if (r && r->stream) r->Enter(Phase::Connected);
    if (async && r->stream) {
      Loop().Post(s, FD_CONNECT, 0);
      Loop().Post(s, FD_WRITE, 0);
    }
    return {};
  }
  const int err = refused ? EADDRNOTAVAIL : errno;
  if (err == EINPROGRESS && async) {
    Loop().StartConnect(s, *r);
    return SockResult::Fail(WSAEWOULDBLOCK);
  }
  // The caller waits for the notification after this one, so it must come.
  if (err == EADDRNOTAVAIL && async) {
    r->Enter(Phase::Closed);
    Loop().Post(s, FD_CONNECT, WSAEADDRNOTAVAIL);
  }
  return SockResult::Fail(WsaErrorFromErrno(err));
}

SockResult PosixSocketsLayer::listen(SOCKET s, int backlog) {
  if (::listen(s, backlog) != 0) return Errno();
  if (Registration* r = Loop().Find(s)) {
    r->Enter(Phase::Listening);
    r->bound = true;
    r->acceptArmed = true;
    Loop().Sync(s);
  }
  return {};
}

SockResult PosixSocketsLayer::accept(SOCKET s, SockAddrIn* addr) {
  sockaddr_storage st{};
  socklen_t len = sizeof st;
  const int fd = ::accept4(s, reinterpret_cast<sockaddr*>(&st), &len, SOCK_CLOEXEC);
  const int err = errno;
  SocketNotifySink* sink = nullptr;
  int events = 0;
  if (Registration* r = Loop().Find(s)) {
    r->acceptArmed = true;
    sink = r->sink;
    events = r->events;
    Loop().Sync(s);
  }
  if (fd < 0) return SockResult::Fail(WsaErrorFromErrno(err));
  if (addr) FromPosix(st, *addr);
  Registration& n = Loop().Know(fd, true);
  n.Enter(Phase::Connected);
  n.bound = true;
  // The new socket reports like the one that accepted it.
  if (sink) Loop().Register(fd, sink, events);
  return {fd, 0};
}

SockResult PosixSocketsLayer::send(SOCKET s, const std::uint8_t* buf, int len, int flags) {
  (void)flags;
  const ssize_t n = ::send(s, buf, static_cast<std::size_t>(std::max(len, 0)), MSG_NOSIGNAL);
  if (n >= 0) return {n, 0};
  return SendFailed(s);
}

SockResult PosixSocketsLayer::sendto(SOCKET s, const std::uint8_t* buf, int len, int flags, const SockAddrIn& to) {
  (void)flags;
  if (UnspecifiedNetwork(to)) return SockResult::Fail(WSAEADDRNOTAVAIL);
  const sockaddr_in a = ToPosix(to);
  const ssize_t n = ::sendto(s, buf, static_cast<std::size_t>(std::max(len, 0)), MSG_NOSIGNAL,
                             reinterpret_cast<const sockaddr*>(&a), sizeof a);
  if (n >= 0) return {n, 0};
  return SendFailed(s);
}

SockResult PosixSocketsLayer::recv(SOCKET s, std::uint8_t* buf, int len, int flags) {
  return PosixSocketsLayer::recvfrom(s, buf, len, flags, nullptr);
}

SockResult PosixSocketsLayer::recvfrom(SOCKET s, std::uint8_t* buf, int len, int flags, SockAddrIn* from) {
  sockaddr_storage st{};
  socklen_t slen = sizeof st;
  const int pflags = (flags & MSG_PEEK_W) ? MSG_PEEK : 0;
  const ssize_t n =
      ::recvfrom(s, buf, static_cast<std::size_t>(std::max(len, 0)), pflags, reinterpret_cast<sockaddr*>(&st), &slen);
  const int err = errno;
  if (Registration* r = Loop().Find(s)) {
    r->readArmed = true;
    Loop().Sync(s);
  }
  if (n < 0) return SockResult::Fail(WsaErrorFromErrno(err));
  if (from) FromPosix(st, *from);
  return {n, 0};
}

SockResult PosixSocketsLayer::closesocket(SOCKET s) {
  Loop().Forget(s);
  if (::close(s) != 0) return Errno();
  return {};
}

SockResult PosixSocketsLayer::getsockname(SOCKET s, SockAddrIn& name) { return AddressOf(::getsockname, s, name); }

SockResult PosixSocketsLayer::getpeername(SOCKET s, SockAddrIn& name) { return AddressOf(::getpeername, s, name); }

SockResult PosixSocketsLayer::getsockopt(SOCKET s, int level, int optname, std::int32_t& value) {
  if (level != SOL_SOCKET_W) return SockResult::Fail(WSAEINVAL);
  int popt = 0;
  switch (optname) {
    case SO_SNDBUF_W: popt = SO_SNDBUF; break;
    case SO_RCVBUF_W: popt = SO_RCVBUF; break;
    case SO_BROADCAST_W: popt = SO_BROADCAST; break;
    case SO_MAX_MSG_SIZE_W: {
      int type = 0;
      socklen_t tlen = sizeof type;
      if (::getsockopt(s, SOL_SOCKET, SO_TYPE, &type, &tlen) != 0) return Errno();
      if (type != SOCK_DGRAM) return SockResult::Fail(WSAENOPROTOOPT);
      value = 65507;  // largest UDP payload over IPv4
      return {};
    }
    default: return SockResult::Fail(WSAENOPROTOOPT);
  }
  // Every new stream socket starts with the same sizes: read them once.
  static int defaultSizes[2] = {-1, -1};
  int* cached = nullptr;
  if (const Registration* r = Loop().Find(s); r && r->defaultSizes && popt != SO_BROADCAST)
    cached = &defaultSizes[popt == SO_RCVBUF];
  if (cached && *cached >= 0) {
    value = *cached;
    return {};
  }
  int v = 0;
  socklen_t len = sizeof v;
  if (::getsockopt(s, SOL_SOCKET, popt, &v, &len) != 0) return Errno();
  value = v;
  if (cached) *cached = v;
  return {};
}

SockResult PosixSocketsLayer::setsockopt(SOCKET s, int level, int optname, std::int32_t value) {
  if (level != SOL_SOCKET_W) return SockResult::Fail(WSAEINVAL);
  Registration* r = Loop().Find(s);
  if (optname == SO_REUSE_UNICASTPORT_W) {
    // Only a bind to a given address needs the kernel told; see bind.
    if (r && r->stream) {
      r->portAtConnect = value != 0;
      return {};
    }
    const int v = value != 0;
    if (::setsockopt(s, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &v, sizeof v) != 0) return Errno();
    return {};
  }
  if (r) r->defaultSizes = false;
  int popt = 0;
  switch (optname) {
    case SO_SNDBUF_W: popt = SO_SNDBUF; break;
    case SO_RCVBUF_W: popt = SO_RCVBUF; break;
    case SO_BROADCAST_W: popt = SO_BROADCAST; break;
    default: return SockResult::Fail(WSAENOPROTOOPT);
  }
  const int v = value;
  if (::setsockopt(s, SOL_SOCKET, popt, &v, sizeof v) != 0) return Errno();
  return {};
}

SockResult PosixSocketsLayer::ioctlsocket(SOCKET s, std::uint32_t cmd, std::uint32_t& arg) {
  if (cmd != FIONREAD_W) return SockResult::Fail(WSAEINVAL);
  int n = 0;
  if (::ioctl(s, FIONREAD, &n) != 0) return Errno();
  arg = static_cast<std::uint32_t>(std::max(n, 0));
  return {};
}

std::uint32_t PosixSocketsLayer::inet_addr(const std::string& text) {
  if (text.empty() || text.find('\0') != std::string::npos) return INADDR_NONE_W;
  return ::inet_addr(text.c_str());
}

std::string PosixSocketsLayer::inet_ntoa(std::uint32_t addr) {
  const auto* b = reinterpret_cast<const std::uint8_t*>(&addr);
  return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." + std::to_string(b[3]);
}

SockResult PosixSocketsLayer::gethostname(std::string& name) {
  char buf[256] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0) return Errno();
  name.assign(buf, strnlen(buf, sizeof buf));
  return {};
}

SockResult PosixSocketsLayer::gethostbyname(const std::string& name, std::vector<std::uint32_t>& addresses) {
  addresses.clear();
  if (name.empty() || name.size() > 255 || name.find('\0') != std::string::npos)
    return SockResult::Fail(WSAHOST_NOT_FOUND);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &res);
  if (rc != 0) return SockResult::Fail(WsaErrorFromLookup(rc, errno));
  for (addrinfo* p = res; p; p = p->ai_next)
    if (p->ai_family == AF_INET) addresses.push_back(reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr.s_addr);
  ::freeaddrinfo(res);
  if (addresses.empty()) return SockResult::Fail(WSANO_DATA);
  return {};
}

SockResult PosixSocketsLayer::WSAAsyncSelect(SOCKET s, SocketNotifySink* sink, int events) {
  return Loop().Register(s, sink, events);
}

std::unique_ptr<HostLookupBuffer> PosixSocketsLayer::AllocLookupBuffer() {
  auto b = std::make_unique<HostLookupBuffer>();
  b->addresses.reserve(HostLookupBuffer::kSize / sizeof(std::uint32_t) / 8);
  return b;
}

void PosixSocketsLayer::FreeLookupBuffer(std::unique_ptr<HostLookupBuffer> buffer) { buffer.reset(); }

LookupTask PosixSocketsLayer::WSAAsyncGetHostByName(SocketNotifySink* sink, const std::string& name,
                                                    HostLookupBuffer* buffer, int& error) {
  if (!sink || !buffer) {
    error = WSAEFAULT;
    return 0;
  }
  if (name.size() > 255 || name.find('\0') != std::string::npos) {
    error = WSAEINVAL;
    return 0;
  }
  return Loop().StartLookup(sink, name, buffer, error);
}

SockResult PosixSocketsLayer::WSACancelAsyncRequest(LookupTask task) {
  if (!Loop().CancelLookup(task)) return SockResult::Fail(WSAEINVAL);
  return {};
}

void PosixSocketsLayer::SetConnectTimeout(std::chrono::milliseconds timeout) { Loop().timeout = timeout; }

void PosixSocketsLayer::PostNotification(SOCKET s, int event, int error) { Loop().Post(s, event, error); }

std::size_t PosixSocketsLayer::Registered() const { return Loop().registered; }
std::size_t PosixSocketsLayer::OpenSockets() const { return Loop().open; }

}  // namespace mivo
