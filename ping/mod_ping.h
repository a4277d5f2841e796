// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace mivo {

// The reply record of one echo, 278 bytes as the echo call lays it out. The
// fields that were pointers stay 32 bits wide and hold offsets into this
// record instead, so the layout is the same on every platform.
#pragma pack(push, 1)
struct EchoReply {
  std::uint32_t address = 0;        // replying address, network byte order
  std::uint32_t status = 0;         // 0 = success, else an IP status number
  std::uint32_t roundTripTime = 0;  // milliseconds
  std::uint16_t dataSize = 0;       // bytes of echoed data
  std::uint16_t reserved = 0;
  std::uint32_t dataOffset = 0;  // offset of the echoed data in this record, 0 when none
  std::uint8_t ttl = 0;
  std::uint8_t tos = 0;
  std::uint8_t flags = 0;
  std::uint8_t optionsSize = 0;
  std::uint32_t optionsOffset = 0;  // offset of the IP options, 0 when none
  std::uint8_t data[250] = {};
};
#pragma pack(pop)
static_assert(sizeof(EchoReply) == 278, "the echo record is 278 bytes");

// Echo status numbers, as the platform's echo call reports them.
inline constexpr std::uint32_t kIpSuccess = 0;
inline constexpr std::uint32_t kIpDestHostUnreachable = 11003;
inline constexpr std::uint32_t kIpReqTimedOut = 11010;
inline constexpr std::uint32_t kIpGeneralFailure = 11050;

inline constexpr std::string_view kEchoRequestData = "My Request";
inline constexpr int kEchoTimeoutMs = 200;

// Four dot-separated decimal numbers, each taken modulo 256, as a value whose
// bytes in memory order are the four numbers (network byte order). Anything
// else gives 0: fewer or more than four parts, and parts that are empty or
// hold anything but the digits 0-9 (host names, signs, spaces). No name is
// ever resolved.
std::uint32_t DottedToAddress(std::string_view text);

// One echo request to each destination.
struct EchoTarget {
  std::uint32_t destination = 0;  // network byte order, as DottedToAddress gives it
  EchoReply* reply = nullptr;     // filled on an answer; on failure only its status is written
  bool answered = false;
};

// Echoes already sent whose replies are taken in without waiting: the caller
// watches Descriptor(), calls Drain() when it is readable and Expire() once
// the echo time-out has passed.
class EchoRound {
 public:
  virtual ~EchoRound() = default;
  // Readable when replies wait; -1 when nothing is left to wait for.
  virtual int Descriptor() const = 0;
  // Takes in what has arrived; true when no request is open any more.
  virtual bool Drain() = 0;
  // The requests still open time out.
  virtual void Expire() = 0;
};

// Sends echo requests and collects their replies. All requests of one call
// share a single wait, so N destinations cost one time-out, not N.
class EchoSender {
 public:
  virtual ~EchoSender() = default;
  // Sends `data` to every target and waits at most `timeoutMs` in all.
  virtual void SendEchoes(std::span<EchoTarget> targets, std::string_view data, int timeoutMs) = 0;
  // Why the last call could send no echo at all, and what would allow it;
  // empty when it could.
  virtual std::string Unavailable() const { return {}; }
  // Sends `data` to every target and returns at once; `targets` stay in place
  // until the round ends. By default it waits here, leaving nothing open.
  virtual std::unique_ptr<EchoRound> StartEchoes(std::span<EchoTarget> targets, std::string_view data);
};

// The sender in force for the process.
EchoSender& Echoes();
// Installs `sender` (not owned); nullptr restores the ICMP socket sender. Returns the previous one.
EchoSender* SetEchoes(EchoSender* sender);

// One echo to a dotted address, with the sockets-layer check and clean-up
// around it. Returns the round-trip time in ms on an answer, otherwise minus
// the reply's status. `reply` holds what the echo wrote.
std::int32_t PingAddress(const std::string& address, EchoReply& reply);

// Why the last echo of the process could not be sent at all, in a line for
// the user; empty when it could. A time of 0 ms is then no measurement.
std::string EchoesUnavailable();

// PingAddress for many addresses at once: the same check and clean-up per
// address, the same records and results, but one shared wait.
std::vector<std::int32_t> PingAddresses(std::span<const std::string> addresses, std::span<EchoReply> replies);

// PingAddresses without its wait: the same check and clean-up per address
// and the same records, with the replies taken in as they arrive.
class PingRound {
 public:
  explicit PingRound(std::vector<std::string> addresses);
  ~PingRound();
  PingRound(const PingRound&) = delete;
  PingRound& operator=(const PingRound&) = delete;

  int Descriptor() const { return round_->Descriptor(); }
  bool Drain() { return round_->Drain(); }
  void Expire() { round_->Expire(); }

  std::size_t Size() const { return addresses_.size(); }
  const std::string& Address(std::size_t i) const { return addresses_[i]; }
  const EchoReply& Reply(std::size_t i) const { return replies_[i]; }

 private:
  std::vector<std::string> addresses_;
  std::vector<EchoReply> replies_;
  std::vector<EchoTarget> targets_;
  std::unique_ptr<EchoRound> round_;
};

}  // namespace mivo
