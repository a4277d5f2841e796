// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "tunnel_session.h"

#include "tunnel/tunnel_texts.h"

namespace mivo {

bool TunnelSession::ConnectClicked(const ConnectBoxes& boxes) {
  if (std::optional<std::string> problem = CheckTunnelInput(m_, boxes)) {
    view_.ShowMessageBox(*problem, kTitleError, MsgIcon::Exclamation);
    return false;
  }
  socket_.CloseSck();
  view_.SetStatus("");
  if (!boxes.proxyHost.empty()) socket_.SetRemoteHost(boxes.proxyHost);
  if (!boxes.proxyPort.empty()) socket_.SetRemotePort(*PortNumber(boxes.proxyPort));
  if (!boxes.targetHost.empty()) m_.TargetHost = boxes.targetHost;
  if (!boxes.targetPort.empty()) m_.TargetPort = *PortNumber(boxes.targetPort);
  if (!boxes.user.empty()) m_.AuthUser = boxes.user;
  if (!boxes.password.empty()) m_.AuthPass = boxes.password;
  socket_.Connect();
  return true;
}

void TunnelSession::DisconnectClicked() {
  socket_.CloseSck();
  view_.SetStatus(kTextDisconnecting);
}

void TunnelSession::OnConnect() { ProxyHandshake(m_, view_, m_.ProxyKind, HandshakeStep::Connected); }

void TunnelSession::OnDataArrival() {
  m_.ReplyData = socket_.GetAll();
  if (m_.HandshakeState != HandshakeStep::TunnelOpen) ProxyHandshake(m_, view_, m_.ProxyKind, m_.HandshakeState);
}

}  // namespace mivo
