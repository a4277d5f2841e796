// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/gbk.h"
#include "socket/event_call.h"
#include "socket/winsock.h"

namespace mivo {
namespace {

// Used when a buffer size reads as 0 or cannot be read.
constexpr std::int32_t kDefaultBufferSize = 8192;

// maxLen as a number of bytes: 0 when it is not positive (NaN included), and
// not capped at 32 bits, so that a larger length still takes all that waits.
std::size_t ByteCount(const Variant& v) {
  const double r = std::nearbyint(v.Number().value_or(0));
  if (!(r >= 1)) return 0;
  if (r >= static_cast<double>(std::numeric_limits<std::int64_t>::max()))
    return std::numeric_limits<std::size_t>::max();
  return static_cast<std::size_t>(r);
}

std::int32_t Clamp32(std::size_t n) {
  return static_cast<std::int32_t>(std::min<std::size_t>(n, std::numeric_limits<std::int32_t>::max()));
}

std::size_t Positive(std::int32_t size) { return static_cast<std::size_t>(size > 0 ? size : kDefaultBufferSize); }

// Where recv writes before the bytes join a queue: one area for every control
// (they all run on one thread), grown as needed and never cleared, since a
// socket buffer's worth of zeros for each arrival costs more than the copy.
std::uint8_t* ReceiveArea(std::size_t size) {
  static std::unique_ptr<std::uint8_t[]> area;
  static std::size_t capacity = 0;
  if (capacity < size) {
    area.reset(new std::uint8_t[size]);
    capacity = size;
  }
  return area.get();
}

}  // namespace

std::int32_t WinSock::BytesReceived() const {
  if (protocol_ != ProtocolTcp) return Clamp32(PendingDatagramSize());
  return Clamp32(ReceiveBuffer_.size());
}

void WinSock::ReadSocketOptions() {
  std::int32_t v = 0;
  if (protocol_ != ProtocolTcp) {
    layer_->setsockopt(socket_, SOL_SOCKET_W, SO_BROADCAST_W, 1);
    if (layer_->getsockopt(socket_, SOL_SOCKET_W, SO_MAX_MSG_SIZE_W, v).ok()) {
      receiveSize_ = v;
      sendChunkSize_ = v;
    }
    return;
  }
  if (layer_->getsockopt(socket_, SOL_SOCKET_W, SO_RCVBUF_W, v).ok()) receiveSize_ = v;
  if (layer_->getsockopt(socket_, SOL_SOCKET_W, SO_SNDBUF_W, v).ok()) sendChunkSize_ = v;
}

void WinSock::SendData(const Variant& data) {
  if (protocol_ != ProtocolTcp) {
    if (!SocketExists() || !BindSocket(std::nullopt, std::nullopt)) return;
    EnterState(SocketState::Open);
  } else if (state_ != SocketState::Connected) {
    return;
  }
  const bool wasEmpty = SendBuffer_.empty();
  Bytes wire;
  if (data.Type() != vtByteArray) wire = ToWireBytes(data);
  const Bytes& bytes = data.Type() == vtByteArray ? data.ByteArray() : wire;
  if (bytes.empty()) return;  // nothing to send: empty text or array, or no wire form
  if (!wasEmpty) {
    // A drain is under way; FD_WRITE continues it in order.
    SendBuffer_.Append(bytes.data(), bytes.size());
    return;
  }
  if (protocol_ != ProtocolTcp) {
    SendBuffer_.Append(bytes.data(), bytes.size());
    SendBufferedDataUDP();
    return;
  }
  // Sent from the caller's bytes as they are; only what the socket does not
  // take now is copied into the queue.
  SendBufferedData(bytes.data(), bytes.size());
}

void WinSock::SendBufferedData(const std::uint8_t* fresh, std::size_t freshSize) {
  if (sendChunkSize_ == 0) ReadSocketOptions();
  const std::size_t chunk = Positive(sendChunkSize_);
  std::int64_t sent = 0;
  Bytes scratch;
  // What was not sent waits in the queue, the fresh bytes behind what is there.
  const auto queueRest = [&] {
    SendBuffer_.Append(fresh, freshSize);
    freshSize = 0;
  };
  while (freshSize > 0 || !SendBuffer_.empty()) {
    const std::size_t waiting = freshSize > 0 ? freshSize : SendBuffer_.size();
    const std::size_t n = std::min(waiting, chunk);
    const std::uint8_t* p = fresh;
    if (freshSize == 0) {
      std::size_t run = 0;
      p = SendBuffer_.FrontRun(run);
      if (run < n) {
        scratch.resize(n);
        SendBuffer_.Peek(scratch.data(), n);
        p = scratch.data();
      }
    }
    const SockResult r = layer_->send(socket_, p, static_cast<int>(n), 0);
    if (r.ok()) {
      sent += r.value;
      const auto c = static_cast<std::size_t>(r.value);
      if (c >= waiting) {
        freshSize = 0;
        SendBuffer_.Clear();
        if (!Fire(alive_, events.SendProgress, Clamp32(static_cast<std::size_t>(sent)), std::int32_t{0})) return;
        if (!Fire(alive_, events.SendComplete)) return;
        sent = 0;
      } else if (freshSize > 0) {
        fresh += c;
        freshSize -= c;
      } else {
        SendBuffer_.Drop(c);
      }
    } else if (r.error == WSAEWOULDBLOCK) {
      queueRest();
      if (sent >= 1)
        (void)Fire(alive_, events.SendProgress, Clamp32(static_cast<std::size_t>(sent)), Clamp32(SendBuffer_.size()));
      return;
    } else {
      queueRest();
      RaiseSocketError(r.error, "WinSock.SendBufferedData");
      return;
    }
  }
}

void WinSock::SendBufferedDataUDP() {
  const std::optional<std::uint32_t> address = ResolveSync(remoteHost_);
  if (!address) {
    SendBuffer_.Clear();
    return;
  }
  const Bytes datagram = SendBuffer_.Take(SendBuffer_.size());
  SockAddrIn to;
  to.sin_port = HostToNetShort(static_cast<std::uint16_t>(remotePort_));
  to.sin_addr = *address;
  const SockResult r = layer_->sendto(socket_, datagram.data(), static_cast<int>(datagram.size()), 0, to);
  if (!r.ok() && r.error != WSAEWOULDBLOCK) RaiseSocketError(r.error, "WinSock.SendBufferedDataUDP");
}

void WinSock::ReceiveIntoBuffer() {
  if (receiveSize_ == 0) ReadSocketOptions();
  const std::size_t size = Positive(receiveSize_);
  std::uint8_t* area = ReceiveArea(size);
  const SockResult r = layer_->recv(socket_, area, static_cast<int>(size), 0);
  if (!r.ok()) {
    // A notification the socket no longer backs is no failure.
    if (r.error != WSAEWOULDBLOCK) EnterState(SocketState::Error);
    return;
  }
  const auto n = static_cast<std::size_t>(r.value);
  if (n == 0) return;  // orderly close; FD_CLOSE follows
  ReceiveBuffer_.Append(area, n);
  (void)Fire(alive_, events.DataArrival, Clamp32(ReceiveBuffer_.size()));
}

std::uint32_t WinSock::PendingDatagramSize() const {
  if (socket_ == INVALID_SOCKET) return 0;
  std::uint32_t n = 0;
  if (!layer_->ioctlsocket(socket_, FIONREAD_W, n).ok()) return 0;
  return n;
}

void WinSock::ReceiveDatagram() {
  const std::uint32_t n = PendingDatagramSize();
  datagramTaken_ = false;
  if (n > 0 && !Fire(alive_, events.DataArrival, Clamp32(n))) return;
  // Only a datagram the handler left is dropped; one it took is gone already.
  if (!datagramTaken_ && state_ == SocketState::Open) DiscardDatagram();
}

void WinSock::DiscardDatagram() {
  if (socket_ == INVALID_SOCKET) return;
  std::uint8_t one = 0;
  layer_->recv(socket_, &one, 1, 0);
  datagramTaken_ = true;
}

bool WinSock::DataGate(bool peek) const {
  if (protocol_ != ProtocolTcp) return state_ == SocketState::Open && PendingDatagramSize() > 0;
  if (peek) return state_ == SocketState::Connected;
  return state_ == SocketState::Connected || acceptedByRequest_;
}

Bytes WinSock::TakeBytes(std::size_t count, bool peek) {
  if (protocol_ == ProtocolTcp) {
    if (!peek) return ReceiveBuffer_.Take(count);
    Bytes out(count);
    out.resize(ReceiveBuffer_.Peek(out.data(), count));
    return out;
  }
  Bytes area(count, 0);
  SockAddrIn from;
  const SockResult r = layer_->recvfrom(socket_, area.data(), static_cast<int>(count), peek ? MSG_PEEK_W : 0, &from);
  if (!peek) datagramTaken_ = true;
  if (r.ok()) {
    remotePort_ = NetToHostShort(from.sin_port);
    remoteHostIP_ = layer_->inet_ntoa(from.sin_addr);
  }
  return area;
}

void WinSock::ReadData(Variant& data, Variant& varType, Variant& maxLen, bool maxLenGiven, bool peek) {
  if (!DataGate(peek)) return;
  const std::size_t available = static_cast<std::size_t>(BytesReceived());
  if (maxLenGiven && !maxLen.IsNumeric()) maxLen = Clamp32(available);
  std::int32_t type = vtByteArray;
  if (!data.IsEmpty())
    type = data.Type();
  else if (!varType.IsEmpty())
    type = varType.WholeNumber().value_or(vtEmpty);
  varType = type;

  if (type == vtText || type == vtByteArray) {
    std::size_t count = available;
    if (maxLenGiven) {
      const std::size_t m = ByteCount(maxLen);
      if (m == 0 || available == 0) {
        data = Bytes{};
        if (protocol_ != ProtocolTcp && !peek) DiscardDatagram();
        return;
      }
      count = std::min(m, available);
    } else if (available == 0) {
      data = Bytes{};
      return;
    }
    Bytes bytes = TakeBytes(count, peek);
    if (type == vtText)
      data = FromGbk(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    else
      data = std::move(bytes);
    return;
  }
  const std::size_t size = FixedSizeOf(type);
  if (size == 0 || available < size) return;
  const Bytes bytes = TakeBytes(size, peek);
  data = FixedFromWire(type, bytes.data());
}

void WinSock::GetData(Variant& data, std::optional<Variant> varType, std::optional<Variant> maxLen) {
  Variant vt = varType.value_or(Variant());
  Variant ml = maxLen.value_or(Variant());
  ReadData(data, vt, ml, maxLen.has_value(), false);
}

void WinSock::GetData(Variant& data, Variant& varType, Variant& maxLen) {
  ReadData(data, varType, maxLen, !maxLen.IsEmpty(), false);
}

void WinSock::PeekData(Variant& data, std::optional<Variant> varType, std::optional<Variant> maxLen) {
  Variant vt = varType.value_or(Variant());
  Variant ml = maxLen.value_or(Variant());
  ReadData(data, vt, ml, maxLen.has_value(), true);
}

void WinSock::PeekData(Variant& data, Variant& varType, Variant& maxLen) {
  ReadData(data, varType, maxLen, !maxLen.IsEmpty(), true);
}

}  // namespace mivo
