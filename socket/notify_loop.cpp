// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "notify_loop.h"

#include <arpa/inet.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QHostAddress>
#include <QHostInfo>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <limits>

namespace mivo {

namespace {

using Clock = std::chrono::steady_clock;

// Socket events taken from the system in one turn of the event loop: each
// may run a handler that opens the next connection (some 40 µs on loopback).
constexpr int kEventsPerTurn = 128;

int SocketError(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

// Made before main and gone after it, like the layer of the process.
NotifyLoop g_loop;

}  // namespace

NotifyLoop& Loop() { return g_loop; }

NotifyLoop::~NotifyLoop() {
  delete ctx_.data();
  if (epfd_ >= 0) ::close(epfd_);
}

bool NotifyLoop::EnsureLoop() {
  if (epfd_ < 0) epfd_ = epoll_create1(EPOLL_CLOEXEC);
  if (epfd_ < 0) return false;
  if (ctx_) return true;
  if (QCoreApplication::instance() == nullptr) return false;
  // A child of the application, so that it goes before the event dispatcher does.
  ctx_ = new QObject(QCoreApplication::instance());
  notifier_ = new QSocketNotifier(epfd_, QSocketNotifier::Read, ctx_);
  QObject::connect(notifier_, &QSocketNotifier::activated, ctx_, [this] { Dispatch(); });
  timeoutTimer_ = new QTimer(ctx_);
  timeoutTimer_->setSingleShot(true);
  timeoutTimer_->setTimerType(Qt::PreciseTimer);
  QObject::connect(timeoutTimer_, &QTimer::timeout, ctx_, [this] { ExpireConnects(); });
  return true;
}

Registration* NotifyLoop::Find(int fd) {
  if (fd < 0 || static_cast<std::size_t>(fd) >= regs_.size() || !regs_[fd].known) return nullptr;
  return &regs_[fd];
}

Registration* NotifyLoop::Find(int fd, std::uint32_t gen) {
  Registration* r = Find(fd);
  return r && r->gen == gen ? r : nullptr;
}

Registration& NotifyLoop::Know(int fd, bool stream) {
  if (static_cast<std::size_t>(fd) >= regs_.size()) regs_.resize(static_cast<std::size_t>(fd) + 64);
  // A record left by a descriptor that was closed behind the layer's back.
  if (regs_[fd].known) Forget(fd);
  Registration& r = regs_[fd];
  r = Registration{};
  r.known = true;
  r.gen = nextGen_++;
  r.stream = stream;
  ++open;
  return r;
}

void NotifyLoop::Forget(int fd) {
  Registration* r = Find(fd);
  if (!r) return;
  if (r->armed != 0) epoll_ctl(epfd_, EPOLL_CTL_DEL, fd, nullptr);
  if (r->deadline) deadlines_.erase(*r->deadline);
  if (r->sink) --registered;
  *r = Registration{};
  --open;
}

std::uint32_t NotifyLoop::Desired(const Registration& r) {
  if (!r.sink || r.events == 0 || r.phase == Phase::Closed) return 0;
  if (!r.stream) return (r.readArmed ? EPOLLIN : 0u) | (r.writeArmed ? EPOLLOUT : 0u);
  switch (r.phase) {
    case Phase::Connecting: return EPOLLOUT;
    case Phase::Listening: return r.acceptArmed ? EPOLLIN : 0u;
    case Phase::Connected:
      // A hang-up is reported whatever the mask says; with data left and
      // reading paused the socket waits outside epoll until the next recv.
      if (r.hupSeen && !r.readArmed) return 0;
      return (r.readArmed ? EPOLLIN | EPOLLRDHUP : 0u) | (r.writeArmed ? EPOLLOUT : 0u);
    default: return 0;
  }
}

void NotifyLoop::Sync(int fd) {
  Registration* r = Find(fd);
  if (!r || epfd_ < 0) return;
  const std::uint32_t want = Desired(*r);
  if (want == r->armed) return;
  if (want == 0) {
    epoll_ctl(epfd_, EPOLL_CTL_DEL, fd, nullptr);
    r->armed = 0;
    return;
  }
  epoll_event ev{};
  ev.events = want;
  ev.data.u64 = (static_cast<std::uint64_t>(r->gen) << 32) | static_cast<std::uint32_t>(fd);
  if (epoll_ctl(epfd_, r->armed != 0 ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev) == 0) r->armed = want;
}

void NotifyLoop::Notify(int fd, std::uint32_t gen, int event, int error) {
  Registration* r = Find(fd, gen);
  if (!r || !r->sink || (r->events & event) == 0) return;
  r->sink->SocketNotify(fd, event, error);
}

void NotifyLoop::Post(int fd, int event, int error) {
  Registration* r = Find(fd);
  if (!r || !EnsureLoop()) return;
  posted_.push_back({fd, r->gen, event, error});
  if (postScheduled_) return;
  postScheduled_ = true;
  QMetaObject::invokeMethod(
      ctx_, [this] { DeliverPosted(); }, Qt::QueuedConnection);
}

void NotifyLoop::DeliverPosted() {
  postScheduled_ = false;
  // Only what was queued before this pass; anything posted by a handler
  // waits for the next one.
  std::size_t n = posted_.size();
  while (n-- > 0 && !posted_.empty()) {
    const Posted p = posted_.front();
    posted_.pop_front();
    Notify(p.fd, p.gen, p.event, p.error);
    Sync(p.fd);
  }
}

void NotifyLoop::Dispatch() {
  // A bounded share a turn, so that a window over thousands of sockets keeps
  // answering; the rest stay ready for the next turn.
  epoll_event evs[kEventsPerTurn];
  const int n = epoll_wait(epfd_, evs, kEventsPerTurn, 0);
  for (int i = 0; i < n; ++i) {
    const int fd = static_cast<int>(evs[i].data.u64 & 0xFFFFFFFFu);
    const auto gen = static_cast<std::uint32_t>(evs[i].data.u64 >> 32);
    if (!Find(fd, gen)) continue;
    Ready(fd, gen, evs[i].events);
    Sync(fd);
  }
}

void NotifyLoop::Ready(int fd, std::uint32_t gen, std::uint32_t ev) {
  Registration* r = Find(fd, gen);
  if (r->phase == Phase::Connecting) {
    if ((ev & (EPOLLOUT | EPOLLERR | EPOLLHUP)) == 0) return;
    const int err = SocketError(fd);
    EndConnect(*r);
    if (err != 0) {
      r->Enter(Phase::Closed);
      Notify(fd, gen, FD_CONNECT, WsaErrorFromErrno(err));
      return;
    }
    r->Enter(Phase::Connected);
    Notify(fd, gen, FD_CONNECT, 0);
    Notify(fd, gen, FD_WRITE, 0);
    return;
  }
  if (r->phase == Phase::Listening) {
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
  if (r->phase != Phase::Connected) return;
  if (ev & EPOLLERR) {
    const int err = SocketError(fd);
    if (err != 0) {
      r->Enter(Phase::Closed);
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
    // Data waits whenever no hang-up is reported; only a hang-up asks
    // whether any is left to read before it.
    int avail = 1;
    if ((ev & (EPOLLRDHUP | EPOLLHUP)) && ::ioctl(fd, FIONREAD, &avail) != 0) avail = 0;
    if (avail > 0) {
      if (r->readArmed) {
        r->readArmed = false;
        Notify(fd, gen, FD_READ, 0);
      }
    } else if (ev & (EPOLLRDHUP | EPOLLHUP)) {
      r->Enter(Phase::Closed);
      Notify(fd, gen, FD_CLOSE, 0);
    }
  }
}

void NotifyLoop::StartConnect(int fd, Registration& r) {
  r.Enter(Phase::Connecting);
  r.deadline = deadlines_.emplace(Clock::now() + timeout, std::make_pair(fd, r.gen));
  ArmTimer();
  Sync(fd);
}

void NotifyLoop::EndConnect(Registration& r) {
  if (r.deadline) deadlines_.erase(*r.deadline);
  r.deadline.reset();
}

void NotifyLoop::ArmTimer() {
  if (!ctx_ || deadlines_.empty()) return;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadlines_.begin()->first - Clock::now());
  const int ms = static_cast<int>(std::clamp<std::int64_t>(left.count() + 1, 0, std::numeric_limits<int>::max()));
  if (!timeoutTimer_->isActive() || timeoutTimer_->remainingTime() > ms) timeoutTimer_->start(ms);
}

void NotifyLoop::ExpireConnects() {
  const auto now = Clock::now();
  while (!deadlines_.empty() && deadlines_.begin()->first <= now) {
    const auto [fd, gen] = deadlines_.begin()->second;
    Registration* r = Find(fd, gen);
    if (!r) {
      deadlines_.erase(deadlines_.begin());
      continue;
    }
    EndConnect(*r);
    r->Enter(Phase::Closed);
    // Dissolves the half-made connection so the kernel stops retrying.
    sockaddr unspec{};
    unspec.sa_family = AF_UNSPEC;
    ::connect(fd, &unspec, sizeof unspec);
    Sync(fd);
    Post(fd, FD_CONNECT, WSAETIMEDOUT);
  }
  ArmTimer();
}

SockResult NotifyLoop::Register(int fd, SocketNotifySink* sink, int events) {
  if (!EnsureLoop()) return SockResult::Fail(WSASYSNOTREADY);
  Registration* r = Find(fd);
  if (!r) {
    int type = 0;
    socklen_t len = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0) return SockResult::Fail(WsaErrorFromErrno(errno));
    r = &Know(fd, type == SOCK_STREAM);
    int listening = 0;
    len = sizeof listening;
    ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len);
    sockaddr_storage st{};
    socklen_t slen = sizeof st;
    if (listening != 0)
      r->Enter(Phase::Listening);
    else if (r->stream && ::getpeername(fd, reinterpret_cast<sockaddr*>(&st), &slen) == 0)
      r->Enter(Phase::Connected);
  }
  int on = 1;
  if (::ioctl(fd, FIONBIO, &on) != 0) return SockResult::Fail(WsaErrorFromErrno(errno));
  if (sink && events != 0) {
    if (!r->sink) ++registered;
    r->sink = sink;
    r->events = events;
    r->readArmed = true;
    r->acceptArmed = true;
    Sync(fd);
    if ((events & FD_WRITE) && (r->stream ? r->phase == Phase::Connected : r->phase != Phase::Closed))
      Post(fd, FD_WRITE, 0);
  } else {
    if (r->sink) --registered;
    r->sink = nullptr;
    r->events = 0;
    Sync(fd);
  }
  return {};
}

LookupTask NotifyLoop::StartLookup(SocketNotifySink* sink, const std::string& name, HostLookupBuffer* buffer,
                                   int& error) {
  if (!EnsureLoop()) {
    error = WSASYSNOTREADY;
    return 0;
  }
  const LookupTask task = nextTask_++;
  if (nextTask_ == 0) nextTask_ = 1;
  lookups_[task] = {sink, buffer};
  QHostInfo::lookupHost(QString::fromUtf8(name), ctx_.data(),
                        [this, task](const QHostInfo& info) { LookupAnswered(task, info); });
  error = 0;
  return task;
}

bool NotifyLoop::CancelLookup(LookupTask task) {
  // The resolver is left to finish on its own and its answer is dropped:
  // aborting it makes this Qt lose the answer's handler object.
  return lookups_.erase(task) != 0;
}

void NotifyLoop::LookupAnswered(LookupTask task, const QHostInfo& info) {
  auto it = lookups_.find(task);
  if (it == lookups_.end()) return;
  const Lookup l = it->second;
  lookups_.erase(it);
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

}  // namespace mivo
