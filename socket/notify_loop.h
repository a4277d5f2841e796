// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// Inside the sockets layer: the readiness loop behind WSAAsyncSelect and
// WSAAsyncGetHostByName, and what it knows of each descriptor.

#include <QPointer>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "socket/sockets_layer.h"

class QHostInfo;
class QObject;
class QSocketNotifier;
class QTimer;

namespace mivo {

// When each connect under way gives up, with its descriptor and generation.
using Deadlines = std::multimap<std::chrono::steady_clock::time_point, std::pair<int, std::uint32_t>>;

// Where a descriptor stands, as far as its notifications go.
enum class Phase {
  Made,  // nothing under way yet; datagram sockets stay here until closed
  Listening,
  Connecting,
  Connected,
  Closed,  // its end was reported (a failed connect, FD_CLOSE): nothing more comes
};

// What the layer knows of one descriptor made or registered through it.
struct Registration {
  bool known = false;
  std::uint32_t gen = 0;
  SocketNotifySink* sink = nullptr;
  int events = 0;
  bool stream = true;
  Phase phase = Phase::Made;
  // A notification once reported waits for the call that answers it (recv,
  // accept, a send that would block) before it is reported again.
  bool readArmed = true;
  bool acceptArmed = true;
  bool writeArmed = false;
  // The peer hung up; FD_CLOSE follows once no unread data is left.
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
  std::uint32_t armed = 0;  // the epoll mask in force; 0 = not in epoll
  std::optional<Deadlines::iterator> deadline;

  // Closed is final.
  void Enter(Phase next) {
    if (phase != Phase::Closed) phase = next;
  }
};

// Notifications of every registered socket come through one epoll instance
// watched by one notifier of the Qt event loop; lookups are answered on the
// same thread.
class NotifyLoop {
 public:
  NotifyLoop() = default;
  ~NotifyLoop();
  NotifyLoop(const NotifyLoop&) = delete;
  NotifyLoop& operator=(const NotifyLoop&) = delete;

  // The event loop side is made on first use, once an application object exists.
  bool EnsureLoop();

  Registration* Find(int fd);
  Registration* Find(int fd, std::uint32_t gen);
  // A fresh record for a descriptor the layer makes or meets for the first time.
  Registration& Know(int fd, bool stream);
  void Forget(int fd);
  // Brings the descriptor's epoll interest in line with its record.
  void Sync(int fd);
  // Queues a notification; delivered from the event loop like any other.
  void Post(int fd, int event, int error);
  // A connect under way: watched for its end and for its deadline.
  void StartConnect(int fd, Registration& r);

  // WSAAsyncSelect: registers `fd` for `events` reported to `sink`, or ends the registration.
  SockResult Register(int fd, SocketNotifySink* sink, int events);

  LookupTask StartLookup(SocketNotifySink* sink, const std::string& name, HostLookupBuffer* buffer, int& error);
  // False when the lookup is unknown or already answered.
  bool CancelLookup(LookupTask task);

  std::chrono::milliseconds timeout = PosixSocketsLayer::kConnectTimeout;
  std::size_t registered = 0;
  std::size_t open = 0;

 private:
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

  static std::uint32_t Desired(const Registration& r);
  // Calls the sink; afterwards the registration may be gone or replaced.
  void Notify(int fd, std::uint32_t gen, int event, int error);
  void DeliverPosted();
  void Dispatch();
  void Ready(int fd, std::uint32_t gen, std::uint32_t ev);
  void EndConnect(Registration& r);
  void ArmTimer();
  void ExpireConnects();
  void LookupAnswered(LookupTask task, const QHostInfo& info);

  int epfd_ = -1;
  QPointer<QObject> ctx_;
  QSocketNotifier* notifier_ = nullptr;
  QTimer* timeoutTimer_ = nullptr;
  std::vector<Registration> regs_;
  std::uint32_t nextGen_ = 1;
  std::deque<Posted> posted_;
  bool postScheduled_ = false;
  Deadlines deadlines_;
  std::unordered_map<LookupTask, Lookup> lookups_;
  LookupTask nextTask_ = 1;
};

// The loop of the process.
NotifyLoop& Loop();

}  // namespace mivo
