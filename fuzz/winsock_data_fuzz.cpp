// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

// Arbitrary received bytes, in arbitrary arrivals, taken out with GetData and
// PeekData of every type and length, inside DataArrival and between arrivals,
// on a connected TCP control and a bound UDP control over loopback.
#include <QCoreApplication>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <sys/socket.h>

#include "common/gbk.h"
#include "common/presenter.h"
#include "fuzz/fuzz_input.h"
#include "socket/faulty_sockets_layer.h"
#include "socket/winsock.h"
#include "tests/socket/loopback.h"
#include "tests/support/wait.h"

namespace {

using mivo::Bytes;
using mivo::Variant;
using mivo::WinSock;

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

// The real layer, with recv cut to a length the input chooses (so that one
// send reaches the control in several arrivals), and a note of every byte
// and datagram the controls take off their sockets.
class CountingLayer : public mivo::FaultySocketsLayer {
 public:
  mivo::SockResult recv(mivo::SOCKET s, std::uint8_t* buf, int len, int flags) override {
    if (s == tcp && cut > 0 && len > cut) len = cut;
    const mivo::SockResult r = FaultySocketsLayer::recv(s, buf, len, flags);
    if (r.ok() && s == tcp) {
      received.append(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(r.value));
      totalReceived += static_cast<std::size_t>(r.value);
    }
    if (r.ok() && s == udp && (flags & mivo::MSG_PEEK_W) == 0) ++datagramsGone;
    return r;
  }
  mivo::SockResult recvfrom(mivo::SOCKET s, std::uint8_t* buf, int len, int flags, mivo::SockAddrIn* from) override {
    const mivo::SockResult r = FaultySocketsLayer::recvfrom(s, buf, len, flags, from);
    if (r.ok() && s == udp && (flags & mivo::MSG_PEEK_W) == 0) ++datagramsGone;
    return r;
  }

  mivo::SOCKET tcp = mivo::INVALID_SOCKET;
  mivo::SOCKET udp = mivo::INVALID_SOCKET;
  int cut = 0;
  std::string received;  // TCP bytes received and not yet taken, in order
  std::size_t totalReceived = 0;
  int datagramsGone = 0;
};

struct World {
  CountingLayer layer;  // installed before the controls, which keep the layer they find
  mivo::RecordingPresenter shown;
  mivo::test::RawListener listener;
  WinSock tcp;
  mivo::test::Fd peer;
  WinSock udp;
  mivo::test::Fd udpPeer{::socket(AF_INET, SOCK_DGRAM, 0)};
};
World* world = nullptr;

// One GetData or PeekData as the input describes it.
struct ReadOp {
  bool peek = false;
  bool byRef = false;
  Variant data;
  std::optional<Variant> varType;
  std::optional<Variant> maxLen;
};

constexpr std::int32_t kTypes[] = {mivo::vtInt16,    mivo::vtInt32,     mivo::vtFloat, mivo::vtDouble,
                                   mivo::vtCurrency, mivo::vtDate,      mivo::vtText,  mivo::vtBoolean,
                                   mivo::vtByte,     mivo::vtByteArray, mivo::vtEmpty, mivo::vtNull};

std::int32_t AnyType(mivo::fuzz::Input& in) { return kTypes[in.Below(static_cast<int>(std::size(kTypes)))]; }

Variant Number(mivo::fuzz::Input& in) {
  switch (in.Below(6)) {
    case 0: return static_cast<std::int32_t>(in.Below(24));
    case 1: return in.Raw<std::int32_t>();
    case 2: return in.Raw<double>();
    case 3: return static_cast<double>(in.Below(24)) + 0.5;
    case 4: return in.String(12);  // text, numeric or not
    default: return static_cast<std::int16_t>(-static_cast<int>(in.Below(3)));
  }
}

ReadOp Decode(mivo::fuzz::Input& in) {
  ReadOp op;
  const std::uint8_t flags = in.Byte();
  op.peek = flags & 1;
  op.byRef = flags & 2;
  switch (in.Below(5)) {
    case 0: break;
    case 1: op.data = std::string(); break;
    case 2: op.data = Bytes{}; break;
    case 3: {
      const std::int32_t t = AnyType(in);
      const std::uint8_t zeros[8] = {};
      op.data = t == mivo::vtText ? Variant("x") : t == mivo::vtNull ? Variant::Null() : mivo::FixedFromWire(t, zeros);
      break;
    }
    default: op.data = Variant::Null(); break;
  }
  switch (in.Below(3)) {
    case 0: break;
    case 1: op.varType = AnyType(in); break;
    default: op.varType = Number(in); break;
  }
  switch (in.Below(4)) {
    case 0: break;
    case 1: op.maxLen = Variant(); break;
    default: op.maxLen = Number(in); break;
  }
  return op;
}

// The number of bytes a text or byte-array read should take when `available`
// wait, or empty when the length is one no rule covers.
std::optional<std::size_t> Wanted(const std::optional<Variant>& maxLen, bool byRef, std::size_t available) {
  const bool given = byRef ? maxLen && !maxLen->IsEmpty() : maxLen.has_value();
  if (!given) return available;
  const std::optional<double> m = maxLen->Number();
  if (!m) return available;  // not numeric: replaced by the available count
  if (std::isnan(*m)) return std::nullopt;
  const double r = std::nearbyint(*m);
  if (r <= 0) return 0;
  return r >= static_cast<double>(available) ? available : static_cast<std::size_t>(r);
}

// The type the read should produce, or empty when the input names none.
std::optional<std::int32_t> ChosenType(const ReadOp& op) {
  if (!op.data.IsEmpty()) return op.data.Type();
  if (!op.varType || op.varType->IsEmpty()) return mivo::vtByteArray;
  const std::optional<double> n = op.varType->Number();
  if (!n || !std::isfinite(*n)) return std::nullopt;
  const double r = std::nearbyint(*n);
  if (r < -2147483648.0 || r > 2147483647.0) return std::nullopt;
  return static_cast<std::int32_t>(r);
}

// Runs `op` on `w`, whose unread bytes are `unread`, and checks the result
// against them. Returns how many bytes the read took from the front.
std::size_t Read(WinSock& w, const ReadOp& op, const std::string& unread, bool gateOpen, bool datagram) {
  const auto before = static_cast<std::size_t>(w.BytesReceived());
  Check(before == unread.size());
  Variant data = op.data;
  Variant varType = op.varType.value_or(Variant());
  Variant maxLen = op.maxLen.value_or(Variant());
  if (op.byRef) {
    op.peek ? w.PeekData(data, varType, maxLen) : w.GetData(data, varType, maxLen);
  } else {
    op.peek ? w.PeekData(data, op.varType, op.maxLen) : w.GetData(data, op.varType, op.maxLen);
  }
  const auto after = static_cast<std::size_t>(w.BytesReceived());
  // A read never adds bytes, and a peek takes none.
  Check(after <= before);
  if (op.peek) Check(after == before);
  if (!gateOpen) {
    Check(data == op.data && after == before);
    return 0;
  }
  const std::optional<std::int32_t> type = ChosenType(op);
  if (op.byRef && type) Check(varType == Variant(*type));
  if (op.byRef && op.maxLen && !op.maxLen->IsEmpty() && !op.maxLen->IsNumeric())
    Check(maxLen == Variant(static_cast<std::int32_t>(before)));
  if (!type) return before - after;

  std::size_t took = 0;  // from the front of `unread`, peeked or taken
  if (*type == mivo::vtText || *type == mivo::vtByteArray) {
    const std::optional<std::size_t> want = Wanted(op.maxLen, op.byRef, before);
    if (data.Type() == mivo::vtByteArray) {
      const Bytes& b = data.ByteArray();
      took = b.size();
      Check(std::string(b.begin(), b.end()) == unread.substr(0, took));
      if (took > 0) Check(*type == mivo::vtByteArray);
    } else {
      Check(data.Type() == mivo::vtText && *type == mivo::vtText);
      // The text is the decode of exactly the bytes taken.
      took = op.peek || datagram ? std::min(before, want.value_or(before)) : before - after;
      Check(took > 0 && data.Text() == mivo::FromGbk(unread.substr(0, took)));
    }
    if (want) Check(took == *want);
  } else if (const std::size_t size = mivo::FixedSizeOf(*type); size != 0) {
    if (before < size) {
      Check(data == op.data && after == before);
      return 0;
    }
    took = size;
    Check(data.Type() == *type);
    const std::string front = unread.substr(0, size);
    if (*type == mivo::vtBoolean) {
      Check(data.Boolean() == (front != std::string(2, '\0')));
    } else {
      const Bytes wire = mivo::ToWireBytes(data);
      Check(std::string(wire.begin(), wire.end()) == front);
    }
  } else {
    Check(data == op.data && after == before);
    return 0;
  }
  if (!op.peek) {
    // A stream gives up what it handed out; a datagram is gone whole.
    if (datagram)
      Check(after == 0);
    else
      Check(after == before - took);
  }
  return op.peek ? 0 : (datagram ? before : took);
}

std::vector<ReadOp> DecodeMany(mivo::fuzz::Input& in) {
  std::vector<ReadOp> ops(static_cast<std::size_t>(in.Below(4)));
  for (ReadOp& op : ops) op = Decode(in);
  return ops;
}

// Bytes arriving on the connected control; reads inside its DataArrival
// and between arrivals.
void Stream(mivo::fuzz::Input& in) {
  World& w = *world;
  CountingLayer& layer = w.layer;
  layer.cut = in.Below(9);
  int rounds = 0;
  while (!in.empty() && ++rounds <= 64) {
    if (in.Below(3) != 0) {
      const std::string bytes = in.String();
      const std::vector<ReadOp> ops = DecodeMany(in);
      w.tcp.events.DataArrival = [&](std::int32_t bytesTotal) {
        // bytesTotal counts what earlier arrivals left unread too.
        Check(bytesTotal == w.tcp.BytesReceived() && static_cast<std::size_t>(bytesTotal) == layer.received.size());
        for (const ReadOp& op : ops) layer.received.erase(0, Read(w.tcp, op, layer.received, true, false));
      };
      const std::size_t target = layer.totalReceived + bytes.size();
      Check(mivo::test::SendAll(w.peer.get(), Bytes(bytes.begin(), bytes.end())));
      // Every byte sent reaches the control; none is lost or made up.
      Check(mivo::test::WaitUntil([&] { return layer.totalReceived >= target; }));
      Check(layer.totalReceived == target);
      w.tcp.events.DataArrival = nullptr;
    } else {
      const ReadOp op = Decode(in);
      layer.received.erase(0, Read(w.tcp, op, layer.received, true, false));
    }
    Check(w.tcp.State() == mivo::SocketState::Connected);
  }
  // Leave nothing for the next input.
  Variant rest;
  w.tcp.GetData(rest);
  Check(std::string(rest.ByteArray().begin(), rest.ByteArray().end()) == layer.received);
  layer.received.clear();
  Check(w.tcp.BytesReceived() == 0);
}

// Datagrams, one at a time, read inside DataArrival; a datagram the handler
// leaves is dropped, one it took is not followed by a lost one.
void Datagrams(mivo::fuzz::Input& in) {
  World& w = *world;
  CountingLayer& layer = w.layer;
  int rounds = 0;
  while (!in.empty() && ++rounds <= 32) {
    const std::string datagram = in.String();
    const std::vector<ReadOp> ops = DecodeMany(in);
    std::string unread = datagram;
    int arrivals = 0;
    w.udp.events.DataArrival = [&](std::int32_t bytesTotal) {
      ++arrivals;
      Check(static_cast<std::size_t>(bytesTotal) == datagram.size());
      bool gone = false;
      for (const ReadOp& op : ops) {
        const std::size_t took = Read(w.udp, op, gone ? std::string() : unread, !gone, true);
        if (took > 0 || (!gone && !op.peek && w.udp.BytesReceived() == 0)) gone = true;
      }
    };
    const int target = layer.datagramsGone + 1;
    const sockaddr_in to = mivo::test::Loopback(static_cast<std::uint16_t>(w.udp.LocalPort()));
    Check(::sendto(w.udpPeer.get(), datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                   sizeof to) == static_cast<ssize_t>(datagram.size()));
    Check(mivo::test::WaitUntil([&] { return layer.datagramsGone >= target; }));
    // Exactly this datagram went, announced once unless it was empty.
    Check(layer.datagramsGone == target && arrivals == (datagram.empty() ? 0 : 1));
    Check(w.udp.BytesReceived() == 0 && w.udp.State() == mivo::SocketState::Open);
    w.udp.events.DataArrival = nullptr;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  static QCoreApplication app(*argc, *argv);
  world = new World;
  World& w = *world;
  Check(w.listener.ok());
  // A small receive area keeps each arrival cheap; the cut splits it further.
  w.layer.ScriptOption(mivo::SO_RCVBUF_W, 300);
  bool connected = false;
  w.tcp.events.Connect = [&] { connected = true; };
  w.tcp.Connect("127.0.0.1", static_cast<std::int32_t>(w.listener.port()));
  Check(mivo::test::WaitUntil([&] { return connected; }));
  w.tcp.events.Connect = nullptr;
  w.peer = w.listener.Accept();
  Check(w.peer.valid());
  w.layer.tcp = w.tcp.SocketHandle();
  w.udp.Protocol(mivo::ProtocolUdp);
  w.udp.Bind(0, "127.0.0.1");
  Check(w.udp.State() == mivo::SocketState::Open);
  w.layer.udp = w.udp.SocketHandle();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  mivo::fuzz::Input in(data, size);
  if (in.Bool())
    Datagrams(in);
  else
    Stream(in);
  return 0;
}
