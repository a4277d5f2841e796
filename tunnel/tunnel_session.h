// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "socket/winsock.h"
#include "tunnel/moduleproxy.h"
#include "tunnel/tunnel_input.h"

namespace mivo {

// What the tunnel window uses of its socket control Winsock1.
class TunnelSocket {
 public:
  virtual ~TunnelSocket() = default;
  virtual void SetRemoteHost(const std::string& host) = 0;
  virtual void SetRemotePort(std::int32_t port) = 0;
  virtual void Connect() = 0;
  virtual void CloseSck() = 0;
  virtual void SendBytes(const Bytes& bytes) = 0;
  virtual void SendText(const std::string& text) = 0;
  // Every byte waiting, unchanged.
  virtual std::string GetAll() = 0;
  virtual SocketState State() const = 0;

  // The control's events, raised on the owner's thread.
  std::function<void()> onConnect;
  std::function<void()> onDataArrival;
  std::function<void()> onClose;  // the peer closed
  std::function<void(std::int16_t number)> onError;
};

// The tunnel window's event handlers without its widgets; the window and the
// command-line program both drive the handshake through this.
class TunnelSession {
 public:
  TunnelSession(Moduleproxy& m, TunnelView& view, TunnelSocket& socket) : m_(m), view_(view), socket_(socket) {}

  // Command1 ("连接"). Input the messages cannot carry gets one message box
  // and nothing else happens: the earlier connection stays as it was.
  bool ConnectClicked(const ConnectBoxes& boxes);
  // Command2 ("断开").
  void DisconnectClicked();
  // Winsock1's events.
  void OnConnect();
  void OnDataArrival();

 private:
  Moduleproxy& m_;
  TunnelView& view_;
  TunnelSocket& socket_;
};

}  // namespace mivo
