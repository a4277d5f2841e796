// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "icmp_sender.h"

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <memory>

namespace mivo {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kEchoReplyType = 0;
constexpr std::uint8_t kDestUnreachableType = 3;
constexpr std::uint8_t kEchoRequestType = 8;
constexpr std::size_t kIcmpHeaderSize = 8;
constexpr std::size_t kMinIpHeaderSize = 20;
// Sequence numbers are 16 bits: one socket serves at most this many requests of a wait.
constexpr std::size_t kBatchLimit = 65536;
// Loopback hands back the requests as well as the replies; a large batch must not overflow the queue.
constexpr int kReceiveBuffer = 4 << 20;
// Where the buffer cannot be raised (a datagram socket of an ordinary user), a
// few hundred replies still fit: take them in every so many requests.
constexpr std::size_t kDrainEvery = 32;

std::uint16_t g_nextSequence = 0;
std::uint16_t g_nextRawId = 0;

std::uint16_t Checksum(const std::uint8_t* p, std::size_t n) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < n; i += 2) sum += static_cast<std::uint32_t>(p[i] << 8 | p[i + 1]);
  if (n % 2) sum += static_cast<std::uint32_t>(p[n - 1] << 8);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

std::uint16_t Read16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

int OpenSocket(EchoSocketKind kind) {
  const int type = kind == EchoSocketKind::Datagram ? SOCK_DGRAM : SOCK_RAW;
  const int fd = socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (fd < 0) return -1;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer) != 0)
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
  const int on = 1;
  if (kind == EchoSocketKind::Datagram) {
    // Without these a datagram socket reports neither the reply's TTL and TOS nor
    // which request an unreachable report belongs to.
    setsockopt(fd, IPPROTO_IP, IP_RECVTTL, &on, sizeof on);
    setsockopt(fd, IPPROTO_IP, IP_RECVTOS, &on, sizeof on);
    setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
  } else {
    // A raw socket sees every ICMP message of the host; keep replies and unreachable reports.
    icmp_filter filter{};
    filter.data = ~((1u << kEchoReplyType) | (1u << kDestUnreachableType));
    setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
  }
  return fd;
}

// Why a kind of echo socket could not be opened, and what allows it.
std::string RefusalText(EchoSocketKind kind, int error) {
  if (kind == EchoSocketKind::Datagram)
    return std::string(" ICMP datagram socket: ") + std::strerror(error) +
           " (allowed to the groups in net.ipv4.ping_group_range);";
  return std::string(" raw socket: ") + std::strerror(error) + " (needs root or CAP_NET_RAW);";
}

// One batch in flight on one socket.
class Batch {
 public:
  Batch(int fd, EchoSocketKind kind, std::span<EchoTarget> targets, std::string_view data)
      : fd_(fd), kind_(kind), targets_(targets), data_(data), sentAt_(targets.size()), open_(targets.size(), false) {
    seqBase_ = g_nextSequence;
    g_nextSequence = static_cast<std::uint16_t>(g_nextSequence + targets.size());
    if (kind == EchoSocketKind::Raw) {
      id_ = static_cast<std::uint16_t>(getpid() + g_nextRawId++);
    } else {
      // The kernel picks the identifier of a datagram socket when it sends first; bind to learn it now.
      sockaddr_in local{};
      local.sin_family = AF_INET;
      socklen_t len = sizeof local;
      if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
          getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) == 0)
        id_ = ntohs(local.sin_port);
    }
  }

  ~Batch() { close(fd_); }
  Batch(const Batch&) = delete;
  Batch& operator=(const Batch&) = delete;

  void SendAll(Clock::time_point deadline) {
    for (std::size_t i = 0; i < targets_.size(); ++i) {
      Send(i, deadline);
      if (i % kDrainEvery == kDrainEvery - 1) Drain();
    }
  }

  int fd() const { return fd_; }
  std::size_t pending() const { return pending_; }

  // What has not been answered by the deadline timed out.
  void Expire() {
    for (std::size_t i = 0; i < targets_.size(); ++i)
      if (open_[i]) Fail(i, kIpReqTimedOut);
  }

 private:
  void Fail(std::size_t i, std::uint32_t status) {
    targets_[i].reply->status = status;
    if (open_[i]) {
      open_[i] = false;
      --pending_;
    }
  }

  void Send(std::size_t i, Clock::time_point deadline) {
    EchoTarget& t = targets_[i];
    // Linux takes 0.0.0.0 for the local host; the address of a text that is not an address must not answer.
    if (t.destination == 0) {
      t.reply->status = kIpGeneralFailure;
      return;
    }
    std::uint8_t packet[kIcmpHeaderSize + 256] = {};
    const std::size_t size = kIcmpHeaderSize + std::min<std::size_t>(data_.size(), 256);
    const std::uint16_t seq = static_cast<std::uint16_t>(seqBase_ + i);
    packet[0] = kEchoRequestType;
    packet[4] = static_cast<std::uint8_t>(id_ >> 8);
    packet[5] = static_cast<std::uint8_t>(id_);
    packet[6] = static_cast<std::uint8_t>(seq >> 8);
    packet[7] = static_cast<std::uint8_t>(seq);
    std::memcpy(packet + kIcmpHeaderSize, data_.data(), size - kIcmpHeaderSize);
    const std::uint16_t sum = Checksum(packet, size);
    packet[2] = static_cast<std::uint8_t>(sum >> 8);
    packet[3] = static_cast<std::uint8_t>(sum);

    sockaddr_in to{};
    to.sin_family = AF_INET;
    std::memcpy(&to.sin_addr, &t.destination, 4);
    sentAt_[i] = Clock::now();
    ssize_t n;
    for (;;) {
      n = sendto(fd_, packet, size, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
      if (n >= 0 || (errno != EINTR && errno != EAGAIN && errno != ENOBUFS)) break;
      if (errno == EINTR) continue;
      // The send queue is full: take in what has arrived and wait for room, within the time-out.
      Drain();
      if (Clock::now() >= deadline) {
        t.reply->status = kIpReqTimedOut;
        return;
      }
      pollfd p{fd_, POLLOUT, 0};
      poll(&p, 1, 10);
    }
    if (n < 0) {
      const bool unreachable = errno == EHOSTUNREACH || errno == ENETUNREACH;
      t.reply->status = unreachable ? kIpDestHostUnreachable : kIpGeneralFailure;
      return;
    }
    open_[i] = true;
    ++pending_;
  }

  // Index of an open request by its identifier and sequence number, or -1.
  long Match(std::uint16_t id, std::uint16_t seq) const {
    if (kind_ == EchoSocketKind::Raw && id != id_) return -1;
    const std::size_t i = static_cast<std::uint16_t>(seq - seqBase_);
    if (i >= targets_.size() || !open_[i]) return -1;
    return static_cast<long>(i);
  }

  void Answer(std::size_t i, std::uint32_t from, const std::uint8_t* echoed, std::size_t echoedSize, int ttl, int tos,
              int flags) {
    EchoReply& r = *targets_[i].reply;
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sentAt_[i]);
    r.address = from;
    r.status = kIpSuccess;
    r.roundTripTime = static_cast<std::uint32_t>(elapsed.count());
    r.dataSize = static_cast<std::uint16_t>(echoedSize);
    const std::size_t kept = std::min(echoedSize, sizeof r.data);
    std::memcpy(r.data, echoed, kept);
    r.dataOffset = echoedSize ? static_cast<std::uint32_t>(offsetof(EchoReply, data)) : 0;
    r.ttl = static_cast<std::uint8_t>(ttl);
    r.tos = static_cast<std::uint8_t>(tos);
    r.flags = static_cast<std::uint8_t>(flags);
    r.optionsSize = 0;
    r.optionsOffset = 0;
    targets_[i].answered = true;
    open_[i] = false;
    --pending_;
  }

  // The IP options of an answered reply follow the echoed data in the data
  // area, as far as it reaches. Only a raw socket sees them.
  void KeepOptions(std::size_t i, const std::uint8_t* options, std::size_t optionsSize) {
    EchoReply& r = *targets_[i].reply;
    const std::size_t kept = std::min<std::size_t>(r.dataSize, sizeof r.data);
    const std::size_t optKept = std::min(optionsSize, sizeof r.data - kept);
    if (optKept == 0) return;
    std::memcpy(r.data + kept, options, optKept);
    r.optionsSize = static_cast<std::uint8_t>(optKept);
    r.optionsOffset = static_cast<std::uint32_t>(offsetof(EchoReply, data) + kept);
  }

 public:
  // Takes in whatever has arrived.
  void Drain() {
    if (kind_ == EchoSocketKind::Datagram) DrainErrors();
    std::uint8_t buf[1500];
    alignas(cmsghdr) char control[256];
    for (;;) {
      sockaddr_in from{};
      iovec iov{buf, sizeof buf};
      msghdr msg{};
      msg.msg_name = &from;
      msg.msg_namelen = sizeof from;
      msg.msg_iov = &iov;
      msg.msg_iovlen = 1;
      msg.msg_control = control;
      msg.msg_controllen = sizeof control;
      const ssize_t n = recvmsg(fd_, &msg, MSG_DONTWAIT);
      if (n < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (kind_ == EchoSocketKind::Raw)
        TakeRaw(buf, static_cast<std::size_t>(n));
      else
        TakeDatagram(buf, static_cast<std::size_t>(n), from, msg);
    }
  }

 private:
  void TakeRaw(const std::uint8_t* p, std::size_t n) {
    if (n < kMinIpHeaderSize) return;
    const std::size_t ihl = (p[0] & 0x0Fu) * 4u;
    if (ihl < kMinIpHeaderSize || n < ihl + kIcmpHeaderSize) return;
    const std::uint8_t* icmp = p + ihl;
    std::uint32_t from;
    std::memcpy(&from, p + 12, 4);
    if (icmp[0] == kEchoReplyType && icmp[1] == 0) {
      const long i = Match(Read16(icmp + 4), Read16(icmp + 6));
      if (i < 0 || from != targets_[static_cast<std::size_t>(i)].destination) return;
      Answer(static_cast<std::size_t>(i), from, icmp + kIcmpHeaderSize, n - ihl - kIcmpHeaderSize, p[8], p[1],
             Read16(p + 6) >> 13);
      KeepOptions(static_cast<std::size_t>(i), p + kMinIpHeaderSize, ihl - kMinIpHeaderSize);
    } else if (icmp[0] == kDestUnreachableType) {
      // The report quotes our request: its IP header, then its ICMP header.
      const std::uint8_t* quoted = icmp + kIcmpHeaderSize;
      const std::size_t rest = n - ihl - kIcmpHeaderSize;
      if (rest < kMinIpHeaderSize) return;
      const std::size_t qihl = (quoted[0] & 0x0Fu) * 4u;
      if (qihl < kMinIpHeaderSize || rest < qihl + kIcmpHeaderSize) return;
      const std::uint8_t* req = quoted + qihl;
      if (req[0] != kEchoRequestType) return;
      const long i = Match(Read16(req + 4), Read16(req + 6));
      if (i >= 0) Fail(static_cast<std::size_t>(i), kIpDestHostUnreachable);
    }
  }

  void TakeDatagram(const std::uint8_t* p, std::size_t n, const sockaddr_in& from, msghdr& msg) {
    if (n < kIcmpHeaderSize || p[0] != kEchoReplyType || p[1] != 0) return;
    const long i = Match(Read16(p + 4), Read16(p + 6));
    std::uint32_t addr;
    std::memcpy(&addr, &from.sin_addr, 4);
    if (i < 0 || addr != targets_[static_cast<std::size_t>(i)].destination) return;
    int ttl = 0, tos = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level != IPPROTO_IP) continue;
      if (c->cmsg_type == IP_TTL) std::memcpy(&ttl, CMSG_DATA(c), sizeof ttl);
      if (c->cmsg_type == IP_TOS) tos = *CMSG_DATA(c);
    }
    Answer(static_cast<std::size_t>(i), addr, p + kIcmpHeaderSize, n - kIcmpHeaderSize, ttl, tos, 0);
  }

  // Unreachable reports on a datagram socket come through the error queue, quoting our request.
  void DrainErrors() {
    std::uint8_t buf[1500];
    alignas(cmsghdr) char control[512];
    for (;;) {
      iovec iov{buf, sizeof buf};
      msghdr msg{};
      msg.msg_iov = &iov;
      msg.msg_iovlen = 1;
      msg.msg_control = control;
      msg.msg_controllen = sizeof control;
      const ssize_t n = recvmsg(fd_, &msg, MSG_ERRQUEUE | MSG_DONTWAIT);
      if (n < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (static_cast<std::size_t>(n) < kIcmpHeaderSize || buf[0] != kEchoRequestType) continue;
      const long i = Match(Read16(buf + 4), Read16(buf + 6));
      if (i < 0) continue;
      std::uint32_t status = kIpGeneralFailure;
      for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR) continue;
        sock_extended_err err;
        std::memcpy(&err, CMSG_DATA(c), sizeof err);
        if (err.ee_origin == SO_EE_ORIGIN_ICMP && err.ee_type == kDestUnreachableType)
          status = kIpDestHostUnreachable;
        else if (err.ee_errno == EHOSTUNREACH || err.ee_errno == ENETUNREACH)
          status = kIpDestHostUnreachable;
      }
      Fail(static_cast<std::size_t>(i), status);
    }
  }

  int fd_;
  EchoSocketKind kind_;
  std::span<EchoTarget> targets_;
  std::string_view data_;
  std::vector<Clock::time_point> sentAt_;
  std::vector<bool> open_;
  std::size_t pending_ = 0;
  std::uint16_t id_ = 0;
  std::uint16_t seqBase_ = 0;
};

// One batch whose replies the caller takes in.
class BatchRound : public EchoRound {
 public:
  explicit BatchRound(std::unique_ptr<Batch> batch) : batch_(std::move(batch)) {}
  int Descriptor() const override { return batch_->pending() > 0 ? batch_->fd() : -1; }
  bool Drain() override {
    batch_->Drain();
    return batch_->pending() == 0;
  }
  void Expire() override { batch_->Expire(); }

 private:
  std::unique_ptr<Batch> batch_;
};

}  // namespace

int IcmpEchoSender::OpenFirst(EchoSocketKind& kind) {
  std::string refusals;
  for (EchoSocketKind k : kinds_) {
    const int fd = OpenSocket(k);
    if (fd >= 0) {
      kind = k;
      return fd;
    }
    refusals += RefusalText(k, errno);
  }
  if (!refusals.empty()) refusals.pop_back();
  unavailable_ = "Echoes unavailable, every time reads 0 ms:" + refusals;
  return -1;
}

std::unique_ptr<EchoRound> IcmpEchoSender::StartEchoes(std::span<EchoTarget> targets, std::string_view data) {
  if (targets.size() > kBatchLimit) return EchoSender::StartEchoes(targets, data);
  for (EchoTarget& t : targets) t.answered = false;
  lastKind_.reset();
  unavailable_.clear();
  EchoSocketKind kind{};
  const int fd = OpenFirst(kind);
  if (fd < 0) {
    for (EchoTarget& t : targets) t.reply->status = kIpGeneralFailure;
    return EchoSender::StartEchoes({}, data);
  }
  lastKind_ = kind;
  auto batch = std::make_unique<Batch>(fd, kind, targets, data);
  batch->SendAll(Clock::now() + std::chrono::milliseconds(kEchoTimeoutMs));
  return std::make_unique<BatchRound>(std::move(batch));
}

void IcmpEchoSender::SendEchoes(std::span<EchoTarget> targets, std::string_view data, int timeoutMs) {
  for (EchoTarget& t : targets) t.answered = false;
  lastKind_.reset();
  unavailable_.clear();
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  // More requests than sequence numbers go out on several sockets at once,
  // so that all of them still share the one wait.
  std::vector<std::unique_ptr<Batch>> batches;
  for (std::size_t first = 0; first < targets.size(); first += kBatchLimit) {
    const std::span<EchoTarget> batch = targets.subspan(first, std::min(kBatchLimit, targets.size() - first));
    EchoSocketKind kind{};
    const int fd = OpenFirst(kind);
    if (fd < 0) {
      for (EchoTarget& t : batch) t.reply->status = kIpGeneralFailure;
      continue;
    }
    lastKind_ = kind;
    batches.push_back(std::make_unique<Batch>(fd, kind, batch, data));
    batches.back()->SendAll(deadline);
  }
  std::vector<pollfd> polls;
  for (;;) {
    polls.clear();
    for (const auto& b : batches)
      if (b->pending() > 0) polls.push_back({b->fd(), POLLIN, 0});
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (polls.empty() || left <= 0) break;
    const int r = poll(polls.data(), polls.size(), static_cast<int>(left));
    if (r < 0 && errno != EINTR) break;
    if (r > 0)
      for (const auto& b : batches)
        if (b->pending() > 0) b->Drain();
  }
  for (const auto& b : batches) b->Expire();
}

}  // namespace mivo
