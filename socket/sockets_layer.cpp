#include "sockets_layer.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QHostAddress>
#include <QHostInfo>
#include <QObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <limits>
#include <map>
#include <unordered_map>

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

using Clock = std::chrono::steady_clock;

// Windows refuses 0.0.0.0/8 as a destination; Linux would deliver it to this host.
bool UnspecifiedNetwork(const SockAddrIn& a) { return (ntohl(a.sin_addr) >> 24) == 0; }

}  // namespace

struct PosixSocketsLayer::Impl {
  // What the layer knows of one descriptor made or registered through it.
  struct Reg {
    bool known = false;
    std::uint32_t gen = 0;
    SocketNotifySink* sink = nullptr;
    int events = 0;
    bool stream = true;
    bool listening = false;
    bool connecting = false;
    bool connected = false;
    bool readArmed = true;
    bool acceptArmed = true;
    bool writeArmed = false;
    bool closeDone = false;
    bool hupSeen = false;
    // Linux gives an automatically chosen port back when a connect fails;
    // Windows keeps a socket bound once it was, and so does this layer.
    bool bound = false;
    // The port is left to connect time; a bind to any address and port 0
    // then needs no call at all, since connect binds just so.
    bool portAtConnect = false;
    // A stream socket as made, whose buffer sizes are still the system's
    // defaults; Linux enlarges them once connected.
    bool defaultSizes = false;
    bool inEpoll = false;
    std::uint32_t armed = 0;
    bool hasDeadline = false;
    std::multimap<Clock::time_point, std::pair<int, std::uint32_t>>::iterator deadline;
  };
  struct Posted {
    int fd;
    std::uint32_t gen;
    int event;
    int error;
  };
  struct Lookup {
    SocketNotifySink* sink;
    HostLookupBuffer* buffer;
  };

  int epfd = -1;
  QPointer<QObject> ctx;
  QSocketNotifier* notifier = nullptr;
  QTimer* timeoutTimer = nullptr;
  std::vector<Reg> regs;
  std::uint32_t nextGen = 1;
  std::size_t registered = 0;
  std::size_t open = 0;
  std::deque<Posted> posted;
  bool postScheduled = false;
  std::multimap<Clock::time_point, std::pair<int, std::uint32_t>> deadlines;
  std::chrono::milliseconds timeout = kConnectTimeout;
  std::unordered_map<LookupTask, Lookup> lookups;
  LookupTask nextTask = 1;

  ~Impl() {
    delete ctx.data();
    if (epfd >= 0) ::close(epfd);
  }

  // The event loop side is made on first use, once an application object exists.
  bool EnsureLoop() {
    if (epfd < 0) epfd = epoll_create1(EPOLL_CLOEXEC);
    if (epfd < 0) return false;
    if (ctx) return true;
    if (QCoreApplication::instance() == nullptr) return false;
    // A child of the application, so that it goes before the event dispatcher does.
    ctx = new QObject(QCoreApplication::instance());
    notifier = new QSocketNotifier(epfd, QSocketNotifier::Read, ctx);
    QObject::connect(notifier, &QSocketNotifier::activated, ctx, [this] { Dispatch(); });
    timeoutTimer = new QTimer(ctx);
    timeoutTimer->setSingleShot(true);
    timeoutTimer->setTimerType(Qt::PreciseTimer);
    QObject::connect(timeoutTimer, &QTimer::timeout, ctx, [this] { ExpireConnects(); });
    return true;
  }

  Reg* Find(int fd) {
    if (fd < 0 || static_cast<std::size_t>(fd) >= regs.size() || !regs[fd].known) return nullptr;
    return &regs[fd];
  }
  Reg* Find(int fd, std::uint32_t gen) {
    Reg* r = Find(fd);
    return r && r->gen == gen ? r : nullptr;
  }

  Reg& Know(int fd, bool stream) {
    if (static_cast<std::size_t>(fd) >= regs.size()) regs.resize(static_cast<std::size_t>(fd) + 64);
    // A record left by a descriptor that was closed behind the layer's back.
    if (regs[fd].known) Forget(fd);
    Reg& r = regs[fd];
    r = Reg{};
    r.known = true;
    r.gen = nextGen++;
    r.stream = stream;
    ++open;
    return r;
  }

  void Forget(int fd) {
    Reg* r = Find(fd);
    if (!r) return;
    if (r->inEpoll) epoll_ctl(epfd, EPOLL_CTL_DEL, fd, nullptr);
    if (r->hasDeadline) deadlines.erase(r->deadline);
    if (r->sink) --registered;
    *r = Reg{};
    --open;
  }

  static std::uint32_t Desired(const Reg& r) {
    if (!r.sink || r.events == 0 || r.closeDone) return 0;
    if (!r.stream) return (r.readArmed ? EPOLLIN : 0u) | (r.writeArmed ? EPOLLOUT : 0u);
    if (r.connecting) return EPOLLOUT;
    if (r.listening) return r.acceptArmed ? EPOLLIN : 0u;
    if (!r.connected) return 0;
    // A hang-up is reported whatever the mask says; with data left and
    // reading paused the socket waits outside epoll until the next recv.
    if (r.hupSeen && !r.readArmed) return 0;
    return (r.readArmed ? EPOLLIN | EPOLLRDHUP : 0u) | (r.writeArmed ? EPOLLOUT : 0u);
  }

  void Sync(int fd) {
    Reg* r = Find(fd);
    if (!r || epfd < 0) return;
    const std::uint32_t want = Desired(*r);
    if (want == 0) {
      if (r->inEpoll) {
        epoll_ctl(epfd, EPOLL_CTL_DEL, fd, nullptr);
        r->inEpoll = false;
        r->armed = 0;
      }
      return;
    }
    if (r->inEpoll && want == r->armed) return;
    epoll_event ev{};
    ev.events = want;
    ev.data.u64 = (static_cast<std::uint64_t>(r->gen) << 32) | static_cast<std::uint32_t>(fd);
    if (epoll_ctl(epfd, r->inEpoll ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev) == 0) {
      r->inEpoll = true;
      r->armed = want;
    }
  }

  // Calls the sink; afterwards the registration may be gone or replaced.
  void Notify(int fd, std::uint32_t gen, int event, int error) {
    Reg* r = Find(fd, gen);
    if (!r || !r->sink || (r->events & event) == 0) return;
    r->sink->SocketNotify(fd, event, error);
  }

  void Post(int fd, int event, int error) {
    Reg* r = Find(fd);
    if (!r || !EnsureLoop()) return;
    posted.push_back({fd, r->gen, event, error});
    if (postScheduled) return;
    postScheduled = true;
    QMetaObject::invokeMethod(ctx, [this] { DeliverPosted(); }, Qt::QueuedConnection);
  }

  void DeliverPosted() {
    postScheduled = false;
    // Only what was queued before this pass; anything posted by a handler
    // waits for the next one.
    std::size_t n = posted.size();
    while (n-- > 0 && !posted.empty()) {
      const Posted p = posted.front();
      posted.pop_front();
      Notify(p.fd, p.gen, p.event, p.error);
      Sync(p.fd);
    }
  }

  static int SocketError(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
    return err;
  }

  void Dispatch() {
    epoll_event evs[256];
    const int n = epoll_wait(epfd, evs, 256, 0);
    for (int i = 0; i < n; ++i) {
      const int fd = static_cast<int>(evs[i].data.u64 & 0xFFFFFFFFu);
      const auto gen = static_cast<std::uint32_t>(evs[i].data.u64 >> 32);
      if (!Find(fd, gen)) continue;
      Ready(fd, gen, evs[i].events);
      Sync(fd);
    }
  }

  void Ready(int fd, std::uint32_t gen, std::uint32_t ev) {
    Reg* r = Find(fd, gen);
    if (r->connecting) {
      if ((ev & (EPOLLOUT | EPOLLERR | EPOLLHUP)) == 0) return;
      const int err = SocketError(fd);
      EndConnect(*r);
      if (err != 0) {
        r->closeDone = true;
        Notify(fd, gen, FD_CONNECT, WsaErrorFromErrno(err));
        return;
      }
      r->connected = true;
      Notify(fd, gen, FD_CONNECT, 0);
      Notify(fd, gen, FD_WRITE, 0);
      return;
    }
    if (r->listening) {
      if ((ev & EPOLLIN) && r->acceptArmed) {
        r->acceptArmed = false;
        Notify(fd, gen, FD_ACCEPT, 0);
      }
      return;
    }
    if (!r->stream) {
      if (ev & EPOLLERR) SocketError(fd);  // an ICMP report; reading it clears it
      if ((ev & EPOLLOUT) && r->writeArmed) {
        r->writeArmed = false;
        Notify(fd, gen, FD_WRITE, 0);
        if (!(r = Find(fd, gen))) return;
      }
      if ((ev & EPOLLIN) && r->readArmed) {
        r->readArmed = false;
        Notify(fd, gen, FD_READ, 0);
      }
      return;
    }
    if (!r->connected) return;
    if (ev & EPOLLERR) {
      const int err = SocketError(fd);
      if (err != 0) {
        r->closeDone = true;
        Notify(fd, gen, FD_CLOSE, WsaErrorFromErrno(err));
        return;
      }
    }
    if ((ev & EPOLLOUT) && r->writeArmed) {
      r->writeArmed = false;
      Notify(fd, gen, FD_WRITE, 0);
      if (!(r = Find(fd, gen))) return;
    }
    if (ev & (EPOLLIN | EPOLLRDHUP | EPOLLHUP)) {
      if (ev & EPOLLHUP) r->hupSeen = true;
      int avail = 0;
      if (::ioctl(fd, FIONREAD, &avail) != 0) avail = 0;
      if (avail > 0) {
        if (r->readArmed) {
          r->readArmed = false;
          Notify(fd, gen, FD_READ, 0);
        }
      } else if (ev & (EPOLLRDHUP | EPOLLHUP)) {
        r->closeDone = true;
        Notify(fd, gen, FD_CLOSE, 0);
      }
    }
  }

  void StartConnect(int fd, Reg& r) {
    r.connecting = true;
    r.deadline = deadlines.emplace(Clock::now() + timeout, std::make_pair(fd, r.gen));
    r.hasDeadline = true;
    ArmTimer();
    Sync(fd);
  }

  void EndConnect(Reg& r) {
    r.connecting = false;
    if (r.hasDeadline) deadlines.erase(r.deadline);
    r.hasDeadline = false;
  }

  void ArmTimer() {
    if (!ctx || deadlines.empty()) return;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadlines.begin()->first - Clock::now());
    const int ms = static_cast<int>(std::clamp<std::int64_t>(left.count() + 1, 0, std::numeric_limits<int>::max()));
    if (!timeoutTimer->isActive() || timeoutTimer->remainingTime() > ms) timeoutTimer->start(ms);
  }

  void ExpireConnects() {
    const auto now = Clock::now();
    while (!deadlines.empty() && deadlines.begin()->first <= now) {
      const auto [fd, gen] = deadlines.begin()->second;
      Reg* r = Find(fd, gen);
      if (!r) {
        deadlines.erase(deadlines.begin());
        continue;
      }
      EndConnect(*r);
      r->closeDone = true;
      // Dissolves the half-made connection so the kernel stops retrying.
      sockaddr unspec{};
      unspec.sa_family = AF_UNSPEC;
      ::connect(fd, &unspec, sizeof unspec);
      Sync(fd);
      Post(fd, FD_CONNECT, WSAETIMEDOUT);
    }
    ArmTimer();
  }

  void LookupAnswered(LookupTask task, const QHostInfo& info) {
    auto it = lookups.find(task);
    if (it == lookups.end()) return;
    const Lookup l = it->second;
    lookups.erase(it);
    int error = 0;
    l.buffer->addresses.clear();
    if (info.error() == QHostInfo::NoError) {
      for (const QHostAddress& a : info.addresses())
        if (a.protocol() == QAbstractSocket::IPv4Protocol) l.buffer->addresses.push_back(htonl(a.toIPv4Address()));
      if (l.buffer->addresses.empty()) error = WSANO_DATA;
    } else {
      error = info.error() == QHostInfo::HostNotFound ? WSAHOST_NOT_FOUND : WSANO_RECOVERY;
    }
    l.sink->HostLookupNotify(task, error);
  }
};

PosixSocketsLayer::PosixSocketsLayer() : impl_(std::make_unique<Impl>()) {}
PosixSocketsLayer::~PosixSocketsLayer() = default;

int PosixSocketsLayer::WSAStartup(std::uint16_t requestedVersion, WSAData& data) {
  (void)requestedVersion;  // 1.1 is the only version this layer speaks
  ++startCount_;
  data.wVersion = 0x0101;
  data.wHighVersion = 0x0101;
  rlimit lim{};
  long maxSockets = std::numeric_limits<std::int16_t>::max();
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY)
    maxSockets = std::min<long>(maxSockets, static_cast<long>(lim.rlim_cur));
  data.iMaxSockets = static_cast<std::int16_t>(maxSockets);
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
  impl_->Know(fd, ptype == SOCK_STREAM).defaultSizes = ptype == SOCK_STREAM;
  return {fd, 0};
}

SockResult PosixSocketsLayer::bind(SOCKET s, const SockAddrIn& name) {
  Impl::Reg* r = impl_->Find(s);
  if (r && r->bound) return SockResult::Fail(WSAEINVAL);
  if (r && r->stream && r->portAtConnect && name.sin_port == 0 && name.sin_addr == INADDR_ANY_W && name.sin_family == AF_INET_W) {
    r->bound = true;
    return {};
  }
  const sockaddr_in a = ToPosix(name);
  if (::bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) return Errno();
  if (r) r->bound = true;
  return {};
}

SockResult PosixSocketsLayer::connect(SOCKET s, const SockAddrIn& name) {
  const sockaddr_in a = ToPosix(name);
  Impl::Reg* r = impl_->Find(s);
  const bool async = r && r->sink;
  if (r) {
    r->bound = true;
    r->defaultSizes = false;
  }
  const bool refused = UnspecifiedNetwork(name);
  if (!refused && ::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) {
    if (r && r->stream) r->connected = true;
    if (async && r->stream) {
      impl_->Post(s, FD_CONNECT, 0);
      impl_->Post(s, FD_WRITE, 0);
    }
    return {};
  }
  const int err = refused ? EADDRNOTAVAIL : errno;
  if (err == EINPROGRESS && async) {
    impl_->StartConnect(s, *r);
    return SockResult::Fail(WSAEWOULDBLOCK);
  }
  // The caller waits for the notification after this one, so it must come.
  if (err == EADDRNOTAVAIL && async) {
    r->closeDone = true;
    impl_->Post(s, FD_CONNECT, WSAEADDRNOTAVAIL);
  }
  return SockResult::Fail(WsaErrorFromErrno(err));
}

SockResult PosixSocketsLayer::listen(SOCKET s, int backlog) {
  if (::listen(s, backlog) != 0) return Errno();
  if (Impl::Reg* r = impl_->Find(s)) {
    r->listening = true;
    r->bound = true;
    r->acceptArmed = true;
    impl_->Sync(s);
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
  if (Impl::Reg* r = impl_->Find(s)) {
    r->acceptArmed = true;
    sink = r->sink;
    events = r->events;
    impl_->Sync(s);
  }
  if (fd < 0) return SockResult::Fail(WsaErrorFromErrno(err));
  if (addr) FromPosix(st, *addr);
  Impl::Reg& n = impl_->Know(fd, true);
  n.connected = true;
  n.bound = true;
  // The new socket reports like the one that accepted it.
  if (sink) WSAAsyncSelect(fd, sink, events);
  return {fd, 0};
}

SockResult PosixSocketsLayer::send(SOCKET s, const std::uint8_t* buf, int len, int flags) {
  (void)flags;
  const ssize_t n = ::send(s, buf, static_cast<std::size_t>(std::max(len, 0)), MSG_NOSIGNAL);
  if (n >= 0) return {n, 0};
  const int err = errno;
  if (err == EAGAIN || err == EWOULDBLOCK) {
    if (Impl::Reg* r = impl_->Find(s)) {
      r->writeArmed = true;
      impl_->Sync(s);
    }
  }
  return SockResult::Fail(WsaErrorFromErrno(err));
}

SockResult PosixSocketsLayer::sendto(SOCKET s, const std::uint8_t* buf, int len, int flags, const SockAddrIn& to) {
  (void)flags;
  if (UnspecifiedNetwork(to)) return SockResult::Fail(WSAEADDRNOTAVAIL);
  const sockaddr_in a = ToPosix(to);
  const ssize_t n = ::sendto(s, buf, static_cast<std::size_t>(std::max(len, 0)), MSG_NOSIGNAL,
                             reinterpret_cast<const sockaddr*>(&a), sizeof a);
  if (n >= 0) return {n, 0};
  const int err = errno;
  if (err == EAGAIN || err == EWOULDBLOCK) {
    if (Impl::Reg* r = impl_->Find(s)) {
      r->writeArmed = true;
      impl_->Sync(s);
    }
  }
  return SockResult::Fail(WsaErrorFromErrno(err));
}

SockResult PosixSocketsLayer::recv(SOCKET s, std::uint8_t* buf, int len, int flags) {
  return recvfrom(s, buf, len, flags, nullptr);
}

SockResult PosixSocketsLayer::recvfrom(SOCKET s, std::uint8_t* buf, int len, int flags, SockAddrIn* from) {
  sockaddr_storage st{};
  socklen_t slen = sizeof st;
  const int pflags = (flags & MSG_PEEK_W) ? MSG_PEEK : 0;
  const ssize_t n = ::recvfrom(s, buf, static_cast<std::size_t>(std::max(len, 0)), pflags,
                               reinterpret_cast<sockaddr*>(&st), &slen);
  const int err = errno;
  if (Impl::Reg* r = impl_->Find(s)) {
    r->readArmed = true;
    impl_->Sync(s);
  }
  if (n < 0) return SockResult::Fail(WsaErrorFromErrno(err));
  if (from) FromPosix(st, *from);
  return {n, 0};
}

SockResult PosixSocketsLayer::closesocket(SOCKET s) {
  impl_->Forget(s);
  if (::close(s) != 0) return Errno();
  return {};
}

SockResult PosixSocketsLayer::getsockname(SOCKET s, SockAddrIn& name) {
  sockaddr_storage st{};
  socklen_t len = sizeof st;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&st), &len) != 0) return Errno();
  FromPosix(st, name);
  return {};
}

SockResult PosixSocketsLayer::getpeername(SOCKET s, SockAddrIn& name) {
  sockaddr_storage st{};
  socklen_t len = sizeof st;
  if (::getpeername(s, reinterpret_cast<sockaddr*>(&st), &len) != 0) return Errno();
  FromPosix(st, name);
  return {};
}

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
  if (const Impl::Reg* r = impl_->Find(s); r && r->defaultSizes && popt != SO_BROADCAST)
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
  Impl::Reg* r = impl_->Find(s);
  if (optname == SO_REUSE_UNICASTPORT_W) {
    const int v = value != 0;
    if (::setsockopt(s, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &v, sizeof v) != 0) return Errno();
    if (r) r->portAtConnect = v != 0;
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
  if (!impl_->EnsureLoop()) return SockResult::Fail(WSASYSNOTREADY);
  Impl::Reg* r = impl_->Find(s);
  if (!r) {
    int type = 0;
    socklen_t len = sizeof type;
    if (::getsockopt(s, SOL_SOCKET, SO_TYPE, &type, &len) != 0) return Errno();
    r = &impl_->Know(s, type == SOCK_STREAM);
    int listening = 0;
    len = sizeof listening;
    ::getsockopt(s, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len);
    r->listening = listening != 0;
    sockaddr_storage st{};
    socklen_t slen = sizeof st;
    r->connected = r->stream && !r->listening && ::getpeername(s, reinterpret_cast<sockaddr*>(&st), &slen) == 0;
  }
  int on = 1;
  if (::ioctl(s, FIONBIO, &on) != 0) return Errno();
  if (sink && events != 0) {
    if (!r->sink) ++impl_->registered;
    r->sink = sink;
    r->events = events;
    r->readArmed = true;
    r->acceptArmed = true;
    impl_->Sync(s);
    if ((events & FD_WRITE) && (!r->stream || r->connected) && !r->closeDone) impl_->Post(s, FD_WRITE, 0);
  } else {
    if (r->sink) --impl_->registered;
    r->sink = nullptr;
    r->events = 0;
    impl_->Sync(s);
  }
  return {};
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
  if (!impl_->EnsureLoop()) {
    error = WSASYSNOTREADY;
    return 0;
  }
  LookupTask task = impl_->nextTask++;
  if (impl_->nextTask == 0) impl_->nextTask = 1;
  Impl* impl = impl_.get();
  impl_->lookups[task] = {sink, buffer};
  QHostInfo::lookupHost(QString::fromUtf8(name), impl->ctx.data(),
                        [impl, task](const QHostInfo& info) { impl->LookupAnswered(task, info); });
  error = 0;
  return task;
}

SockResult PosixSocketsLayer::WSACancelAsyncRequest(LookupTask task) {
  auto it = impl_->lookups.find(task);
  if (it == impl_->lookups.end()) return SockResult::Fail(WSAEINVAL);
  // The resolver is left to finish on its own and its answer is dropped:
  // aborting it makes this Qt lose the answer's handler object.
  impl_->lookups.erase(it);
  return {};
}

void PosixSocketsLayer::SetConnectTimeout(std::chrono::milliseconds timeout) { impl_->timeout = timeout; }

void PosixSocketsLayer::PostNotification(SOCKET s, int event, int error) { impl_->Post(s, event, error); }

std::size_t PosixSocketsLayer::Registered() const { return impl_->registered; }
std::size_t PosixSocketsLayer::OpenSockets() const { return impl_->open; }

namespace {
PosixSocketsLayer g_posix;
SocketsLayer* g_layer = &g_posix;
}  // namespace

SocketsLayer& Sockets() { return *g_layer; }
PosixSocketsLayer& PosixSockets() { return g_posix; }

SocketsLayer* SetSockets(SocketsLayer* layer) {
  SocketsLayer* old = g_layer;
  g_layer = layer ? layer : &g_posix;
  return old;
}

}  // namespace mivo
