// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

// Arbitrary proxy replies, split into arbitrary arrivals, through the tunnel
// window's handlers: every kind, with and without credentials, with the kind
// and the check box changed between events as the window allows.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/gbk.h"
#include "fuzz/fuzz_input.h"
#include "tests/tunnel/tunnel_fakes.h"
#include "tunnel/moduleproxy.h"
#include "tunnel/tunnel_session.h"
#include "tunnel/tunnel_texts.h"

namespace {

using mivo::HandshakeStep;
using mivo::kProxyTypes;
using mivo::ProxyType;
using mivo::test::FakeSocket;
using mivo::test::FakeView;
using mivo::test::ViewEvent;

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

bool StoredStep(HandshakeStep s) {
  return s == HandshakeStep::Idle || s == HandshakeStep::FirstReply || s == HandshakeStep::SecondReply ||
         s == HandshakeStep::ConnectReply || s == HandshakeStep::TunnelOpen;
}

std::optional<std::string> Base64Decode(const std::string& text) {
  static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  for (std::size_t i = 0; i < text.size(); i += 4) {
    unsigned v = 0;
    int pad = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const char c = text[i + k];
      v <<= 6;
      if (c == '=') {
        ++pad;
        continue;
      }
      if (pad != 0) return std::nullopt;
      const std::size_t at = kAlphabet.find(c);
      if (at == std::string::npos) return std::nullopt;
      v |= static_cast<unsigned>(at);
    }
    if (pad > 2 || (pad != 0 && i + 4 != text.size())) return std::nullopt;
    out.push_back(static_cast<char>(v >> 16));
    if (pad < 2) out.push_back(static_cast<char>((v >> 8) & 0xFF));
    if (pad < 1) out.push_back(static_cast<char>(v & 0xFF));
  }
  return out;
}

std::string HeaderValue(const std::string& request, const std::string& name) {
  const std::size_t at = request.find("\r\n" + name + ": Basic ");
  if (at == std::string::npos) return {};
  const std::size_t from = at + 2 + name.size() + 8;
  return request.substr(from, request.find("\r\n", from) - from);
}

// The shape of every message a handshake may send; `kind` is the kind in
// force when it was sent.
void CheckSent(const ViewEvent& e, ProxyType kind, const FakeView& view, const mivo::Moduleproxy& m) {
  const std::string& d = e.data;
  if (e.kind == ViewEvent::Text) {
    Check(kind == ProxyType::Http11);
    Check(d.rfind("CONNECT ", 0) == 0 && d.size() >= 4 && d.compare(d.size() - 4, 4, "\r\n\r\n") == 0);
    Check(d == m.HttpRequest);
    const std::string x = HeaderValue(d, "Proxy-Authorization");
    Check(x == HeaderValue(d, "Authorization"));
    Check((d.find("\r\nAuthorization: Basic ") != std::string::npos) == (view.ticked == 1));
    if (view.ticked == 1) {
      const std::optional<std::string> plain = Base64Decode(x);
      Check(plain && *plain == mivo::ToGbk(view.user + ":" + view.password));
    }
    return;
  }
  if (kind == ProxyType::Socks4) {
    Check(d.size() == 9 && d[0] == 4 && d[1] == 1 && d[8] == 0);
    return;
  }
  Check(kind == ProxyType::Socks5);
  if (d.size() == 3 && d[0] == 5) {
    Check(d[1] == 1 && (d[2] == 0 || d[2] == 2));
  } else if (d.size() == 10 && d[0] == 5) {
    Check(d[1] == 1 && d[2] == 0 && d[3] == 1);
  } else {
    // 01 ULEN user PLEN password
    Check(d.size() >= 3 && d[0] == 1);
    const std::size_t ulen = static_cast<unsigned char>(d[1]);
    Check(d.size() >= 3 + ulen);
    const std::size_t plen = static_cast<unsigned char>(d[2 + ulen]);
    Check(d.size() == 3 + ulen + plen);
    Check(d.substr(2, ulen) == mivo::ToGbk(m.AuthUser) && d.substr(3 + ulen) == mivo::ToGbk(m.AuthPass));
  }
}

// What the engine did to the window during one handshake, from its Connect
// event to the next; the window's own texts and boxes are not in it.
struct Handshake {
  std::vector<ViewEvent> events;
};

void CheckHandshake(const Handshake& h, const mivo::Moduleproxy& m) {
  int boxes = 0, sends = 0, successes = 0;
  bool over = false;
  for (std::size_t i = 0; i < h.events.size(); ++i) {
    const ViewEvent& e = h.events[i];
    // Nothing follows a failure's close or a confirmed tunnel.
    Check(!over);
    switch (e.kind) {
      case ViewEvent::Box:
        ++boxes;
        Check(i + 1 < h.events.size() && h.events[i + 1].kind == ViewEvent::Close);
        break;
      case ViewEvent::Close:
        Check(i > 0 && h.events[i - 1].kind == ViewEvent::Box);
        over = true;
        break;
      case ViewEvent::Bytes:
      case ViewEvent::Text: ++sends; break;
      case ViewEvent::Status:
        if (e.data == mivo::kTextTargetConnected) {
          ++successes;
          over = true;
        }
        break;
    }
  }
  Check(boxes <= 1 && successes <= 1 && boxes + successes <= 1);
  Check(sends <= 3);
  if (successes == 1) Check(m.HandshakeState == HandshakeStep::TunnelOpen);
  if (boxes == 1) Check(m.HandshakeState == HandshakeStep::Idle);
}

std::string Box(mivo::fuzz::Input& in) { return in.String(24); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  mivo::fuzz::Input in(data, size);
  mivo::Moduleproxy m;
  FakeView view;
  FakeSocket socket;
  view.socket = &socket;
  mivo::TunnelSession session(m, view, socket);

  m.ProxyKind = kProxyTypes[in.Below(kProxyTypes.size())];
  view.ticked = in.Bool() ? 1 : 0;
  // The boxes stay usable unless the input says otherwise, so that most runs reach the replies.
  mivo::ConnectBoxes boxes{"127.0.0.1", "1080", "ab", "cde", "127.0.0.1", "8080"};
  if (in.Bool()) {
    boxes.user = Box(in);
    boxes.password = Box(in);
  }
  view.user = boxes.user;
  view.password = boxes.password;

  Handshake current;
  bool started = false;
  // Runs one engine event and files what it did under the current handshake.
  bool inEngine = false;
  const auto engine = [&](const auto& fn) {
    const std::size_t before = view.events.size();
    inEngine = true;
    fn();
    inEngine = false;
    for (std::size_t i = before; i < view.events.size(); ++i) {
      const ViewEvent& e = view.events[i];
      if (e.kind == ViewEvent::Bytes || e.kind == ViewEvent::Text) CheckSent(e, m.ProxyKind, view, m);
      current.events.push_back(e);
    }
  };
  // A nested arrival while the failure's box is open must find the handshake over.
  std::string nested;
  view.onBox = [&] {
    if (!inEngine || nested.empty()) return;
    const std::size_t before = view.events.size();
    socket.waiting += std::exchange(nested, {});
    session.OnDataArrival();
    Check(view.events.size() == before && m.HandshakeState == HandshakeStep::Idle);
  };

  while (!in.empty()) {
    switch (in.Below(10)) {
      case 0: {  // connect click, then the socket connects
        if (in.Bool()) {
          boxes.targetHost = Box(in);
          boxes.targetPort = Box(in);
          view.targetHost = boxes.targetHost;
          view.targetPort = boxes.targetPort;
        }
        const std::size_t before = view.events.size();
        const int closes = socket.closes;
        if (!session.ConnectClicked(boxes)) {
          // Refused input: one box, and the socket is left alone.
          Check(view.events.size() == before + 1 && view.events.back().kind == ViewEvent::Box);
          Check(socket.closes == closes);
          break;
        }
        if (started) CheckHandshake(current, m);
        current = {};
        started = true;
        engine([&] { session.OnConnect(); });
        break;
      }
      case 1: session.DisconnectClicked(); break;
      case 2: m.ProxyKind = kProxyTypes[in.Below(kProxyTypes.size())]; break;
      case 3: view.ticked = in.Bool() ? 1 : 0; break;
      case 4: nested = in.String(16); break;
      case 5: {  // a call no row matches does nothing
        const auto kind = static_cast<ProxyType>(in.Raw<std::int16_t>());
        const auto step = in.Raw<std::int16_t>();
        const bool known = (kind == ProxyType::Socks4 || kind == ProxyType::Http11) ? (step == 1 || step == 2)
                           : kind == ProxyType::Socks5                              ? (step >= 1 && step <= 4)
                                                                                    : false;
        if (known) break;
        const std::size_t before = view.events.size();
        const HandshakeStep state = m.HandshakeState;
        m.ReplyData = in.String(16);
        mivo::ProxyHandshake(m, view, kind, static_cast<HandshakeStep>(step));
        Check(view.events.size() == before && m.HandshakeState == state);
        break;
      }
      default: {  // the proxy sends; the window takes it as one arrival
        const std::string bytes = in.String();
        const HandshakeStep state = m.HandshakeState;
        const std::size_t before = view.events.size();
        socket.waiting += bytes;
        engine([&] { session.OnDataArrival(); });
        Check(socket.waiting.empty());
        // Idle and open tunnels take arrivals without a word.
        if (state == HandshakeStep::Idle || state == HandshakeStep::TunnelOpen)
          Check(view.events.size() == before && m.HandshakeState == state);
        break;
      }
    }
    Check(StoredStep(m.HandshakeState));
  }
  if (started) CheckHandshake(current, m);
  return 0;
}
