// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "tunnel/moduleproxy.h"
#include "tunnel/tunnel_session.h"

namespace mivo::test {

// One thing the engine did to its window, in order.
struct ViewEvent {
  enum Kind { Status, Bytes, Text, Box, Close } kind;
  std::string data;  // status text, sent bytes, sent text, or box text
  std::optional<std::string> title;
  MsgIcon icon = MsgIcon::None;

  bool operator==(const ViewEvent&) const = default;
};

inline ViewEvent StatusEvent(std::string s) { return {ViewEvent::Status, std::move(s), {}, MsgIcon::None}; }
inline ViewEvent SentBytes(const mivo::Bytes& b) {
  return {ViewEvent::Bytes, std::string(b.begin(), b.end()), {}, MsgIcon::None};
}
inline ViewEvent SentText(std::string s) { return {ViewEvent::Text, std::move(s), {}, MsgIcon::None}; }
inline ViewEvent BoxEvent(std::string text, std::optional<std::string> title, MsgIcon icon) {
  return {ViewEvent::Box, std::move(text), std::move(title), icon};
}
inline ViewEvent CloseEvent() { return {ViewEvent::Close, {}, {}, MsgIcon::None}; }

inline void PrintTo(const ViewEvent& e, std::ostream* os) {
  static const char* names[] = {"Status", "Bytes", "Text", "Box", "Close"};
  *os << names[e.kind] << "(";
  for (unsigned char c : e.data) {
    if (e.kind == ViewEvent::Bytes) {
      static const char* hex = "0123456789ABCDEF";
      *os << hex[c >> 4] << hex[c & 15] << ' ';
    } else {
      *os << c;
    }
  }
  if (e.title) *os << ", title " << *e.title;
  *os << ", icon " << static_cast<int>(e.icon) << ")";
}

class FakeView : public TunnelView {
 public:
  void SetStatus(const std::string& text) override {
    status = text;
    events.push_back(StatusEvent(text));
  }
  void ShowMessageBox(const std::string& text, const std::optional<std::string>& title, MsgIcon icon) override {
    events.push_back(BoxEvent(text, title, icon));
    if (onBox) onBox();
  }
  int AuthTicked() const override { return ticked; }
  std::string TargetHostText() const override { return targetHost; }
  std::string TargetPortText() const override { return targetPort; }
  std::string UserText() const override { return user; }
  std::string PasswordText() const override { return password; }
  void SendBytes(const mivo::Bytes& bytes) override {
    events.push_back(SentBytes(bytes));
    if (socket) socket->SendBytes(bytes);
  }
  void SendText(const std::string& text) override {
    events.push_back(SentText(text));
    if (socket) socket->SendText(text);
  }
  void Close() override {
    events.push_back(CloseEvent());
    if (socket) socket->CloseSck();
  }

  int Count(ViewEvent::Kind kind) const {
    int n = 0;
    for (const ViewEvent& e : events) n += e.kind == kind;
    return n;
  }

  std::vector<ViewEvent> events;
  std::string status;
  int ticked = 0;
  std::string targetHost = "127.0.0.1";
  std::string targetPort = "8080";
  std::string user;
  std::string password;
  TunnelSocket* socket = nullptr;  // where sends and closes go, when set
  std::function<void()> onBox;     // runs while the "modal" box is open
};

// A socket whose peer is the test: it records what the control was asked to
// do and hands out the bytes the test delivers.
class FakeSocket : public TunnelSocket {
 public:
  void SetRemoteHost(const std::string& host) override { remoteHost = host; }
  void SetRemotePort(std::int32_t port) override { remotePort = port; }
  void Connect() override {
    ++connects;
    open = !refuseSocket;
    state = open ? SocketState::Connecting : SocketState::Closed;
  }
  void CloseSck() override {
    ++closes;
    open = false;
    state = SocketState::Closed;
    waiting.clear();
  }
  void SendBytes(const mivo::Bytes& bytes) override {
    if (open) wire.append(bytes.begin(), bytes.end());
  }
  void SendText(const std::string& text) override {
    if (open) wire += text;
  }
  std::string GetAll() override { return std::exchange(waiting, {}); }
  SocketState State() const override { return state; }

  std::string remoteHost;
  std::int32_t remotePort = 0;
  int connects = 0;
  int closes = 0;
  bool open = false;
  bool refuseSocket = false;  // Connect gets no socket, as when the process has none left
  SocketState state = SocketState::Closed;
  std::string wire;     // every byte sent while open
  std::string waiting;  // received, not yet taken
};

inline std::string Hex(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}

}  // namespace mivo::test
