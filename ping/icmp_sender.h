// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ping/mod_ping.h"

namespace mivo {

// How an echo reaches the network: an ICMP datagram socket (allowed to
// ordinary users by the ping_group_range setting), or a raw socket (root or
// CAP_NET_RAW).
enum class EchoSocketKind { Datagram, Raw };

// Echoes over ICMP sockets. The kinds are tried in order; when none can be
// opened every target fails with the general-failure status.
class IcmpEchoSender : public EchoSender {
 public:
  IcmpEchoSender() = default;
  explicit IcmpEchoSender(std::vector<EchoSocketKind> kinds) : kinds_(std::move(kinds)) {}

  void SendEchoes(std::span<EchoTarget> targets, std::string_view data, int timeoutMs) override;
  // Up to 65,536 targets on one socket without waiting; more wait here.
  std::unique_ptr<EchoRound> StartEchoes(std::span<EchoTarget> targets, std::string_view data) override;

  // The kind the last call sent with; empty when no socket could be opened.
  std::optional<EchoSocketKind> LastKind() const { return lastKind_; }
  // Each kind's reason for refusing, when the last call could open none.
  std::string Unavailable() const override { return unavailable_; }

 private:
  // A socket of the first kind that opens, or -1.
  int OpenFirst(EchoSocketKind& kind);

  std::vector<EchoSocketKind> kinds_{EchoSocketKind::Datagram, EchoSocketKind::Raw};
  std::optional<EchoSocketKind> lastKind_;
  std::string unavailable_;
};

}  // namespace mivo
