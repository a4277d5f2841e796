// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <memory>

#include "socket/winsock.h"
#include "tunnel/tunnel_session.h"

namespace mivo {

// The tunnel window's socket control: a WinSock, seen as a TunnelSocket.
class Winsock1Socket : public TunnelSocket {
 public:
  Winsock1Socket();

  void SetRemoteHost(const std::string& host) override { control_.RemoteHost(host); }
  void SetRemotePort(std::int32_t port) override { control_.RemotePort(port); }
  void Connect() override { control_.Connect(); }
  void CloseSck() override { control_.CloseSck(); }
  void SendBytes(const Bytes& bytes) override { control_.SendData(Variant(bytes)); }
  void SendText(const std::string& text) override { control_.SendData(Variant(text)); }
  // Taken as a byte array: handshake replies carry bytes (0xFF among them)
  // that a GBK decode would not give back.
  std::string GetAll() override;
  SocketState State() const override { return control_.State(); }

  WinSock& Control() { return control_; }

 private:
  WinSock control_;
};

std::unique_ptr<TunnelSocket> NewWinsock1();

}  // namespace mivo
