// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "mod_ping.h"

#include <cstring>

#include "ping/icmp_sender.h"
#include "ping/sockets_check.h"

namespace mivo {
namespace {
IcmpEchoSender g_icmp;
EchoSender* g_sender = &g_icmp;

// A round whose replies are all in already.
class FinishedRound : public EchoRound {
 public:
  int Descriptor() const override { return -1; }
  bool Drain() override { return true; }
  void Expire() override {}
};

std::int32_t ResultOf(const EchoTarget& t) {
  return t.answered ? static_cast<std::int32_t>(t.reply->roundTripTime) : -static_cast<std::int32_t>(t.reply->status);
}
}  // namespace

std::unique_ptr<EchoRound> EchoSender::StartEchoes(std::span<EchoTarget> targets, std::string_view data) {
  SendEchoes(targets, data, kEchoTimeoutMs);
  return std::make_unique<FinishedRound>();
}

EchoSender& Echoes() { return *g_sender; }

EchoSender* SetEchoes(EchoSender* sender) {
  EchoSender* old = g_sender;
  g_sender = sender ? sender : &g_icmp;
  return old;
}

std::string EchoesUnavailable() { return Echoes().Unavailable(); }

std::uint32_t DottedToAddress(std::string_view text) {
  std::uint8_t bytes[4] = {};
  int part = 0;
  bool digits = false;
  unsigned value = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '.') {
      if (!digits || part == 4) return 0;
      bytes[part++] = static_cast<std::uint8_t>(value);
      value = 0;
      digits = false;
    } else if (text[i] >= '0' && text[i] <= '9') {
      // Only the value modulo 256 is kept, so any number of digits fits.
      value = (value * 10 + static_cast<unsigned>(text[i] - '0')) % 256;
      digits = true;
    } else {
      return 0;
    }
  }
  if (part != 4) return 0;
  std::uint32_t address;
  std::memcpy(&address, bytes, 4);
  return address;
}

std::vector<std::int32_t> PingAddresses(std::span<const std::string> addresses, std::span<EchoReply> replies) {
  std::vector<EchoTarget> targets(addresses.size());
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    targets[i].destination = DottedToAddress(addresses[i]);
    targets[i].reply = &replies[i];
    CheckSocketsLayer();
  }
  Echoes().SendEchoes(targets, kEchoRequestData, kEchoTimeoutMs);
  std::vector<std::int32_t> results(addresses.size());
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    results[i] = ResultOf(targets[i]);
    ReleaseSocketsLayer();
  }
  return results;
}

std::int32_t PingAddress(const std::string& address, EchoReply& reply) {
  return PingAddresses(std::span<const std::string>(&address, 1), std::span<EchoReply>(&reply, 1))[0];
}

PingRound::PingRound(std::vector<std::string> addresses)
    : addresses_(std::move(addresses)), replies_(addresses_.size()), targets_(addresses_.size()) {
  for (std::size_t i = 0; i < addresses_.size(); ++i) {
    targets_[i].destination = DottedToAddress(addresses_[i]);
    targets_[i].reply = &replies_[i];
    CheckSocketsLayer();
  }
  round_ = Echoes().StartEchoes(targets_, kEchoRequestData);
}

PingRound::~PingRound() {
  round_.reset();
  for (std::size_t i = 0; i < addresses_.size(); ++i) ReleaseSocketsLayer();
}

}  // namespace mivo
