// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

// Cost of the handshake engine per step, of Base64 credentials, and of a
// status line that trickles in one byte per arrival up to the engine's limit.

#include <benchmark/benchmark.h>

#include "tunnel/moduleproxy.h"

namespace mivo {
namespace {

class NullView : public TunnelView {
 public:
  void SetStatus(const std::string&) override {}
  void ShowMessageBox(const std::string&, const std::optional<std::string>&, MsgIcon) override {}
  int AuthTicked() const override { return 1; }
  std::string TargetHostText() const override { return "127.0.0.1"; }
  std::string TargetPortText() const override { return "8080"; }
  std::string UserText() const override { return "user"; }
  std::string PasswordText() const override { return "password"; }
  void SendBytes(const Bytes& b) override { benchmark::DoNotOptimize(b.data()); }
  void SendText(const std::string& t) override { benchmark::DoNotOptimize(t.data()); }
  void Close() override {}
};

void BM_Socks5AuthenticatedHandshake(benchmark::State& state) {
  NullView view;
  Moduleproxy m;
  m.TargetHost = "192.168.1.10";
  m.TargetPort = 443;
  m.AuthUser = "user";
  m.AuthPass = "password";
  const std::string replies[] = {std::string("\x05\x02", 2), std::string("\x01\x00", 2),
                                 std::string("\x05\x00\x00\x01\x7F\x00\x00\x01\x1F\x90", 10)};
  for (auto _ : state) {
    ProxyHandshake(m, view, ProxyType::Socks5, HandshakeStep::Connected);
    for (const std::string& r : replies) {
      m.ReplyData = r;
      ProxyHandshake(m, view, ProxyType::Socks5, m.HandshakeState);
    }
    if (m.HandshakeState != HandshakeStep::TunnelOpen) state.SkipWithError("handshake did not open");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Socks5AuthenticatedHandshake);

void BM_Base64Credentials(benchmark::State& state) {
  const std::string text(static_cast<std::size_t>(state.range(0)), 'k');
  for (auto _ : state) benchmark::DoNotOptimize(Base64Encode(text));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Base64Credentials)->Arg(3)->Arg(64)->Arg(511);

void BM_HttpStatusLineByteByByte(benchmark::State& state) {
  NullView view;
  Moduleproxy m;
  const std::string reply = "HTTP/1.1 200 " + std::string(static_cast<std::size_t>(state.range(0)), 'x') + "\r\n";
  for (auto _ : state) {
    ProxyHandshake(m, view, ProxyType::Http11, HandshakeStep::Connected);
    for (char c : reply) {
      if (m.HandshakeState != HandshakeStep::FirstReply) break;
      m.ReplyData.assign(1, c);
      ProxyHandshake(m, view, ProxyType::Http11, m.HandshakeState);
    }
    if (m.HandshakeState != HandshakeStep::TunnelOpen) state.SkipWithError("reply not accepted");
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(reply.size()));
}
BENCHMARK(BM_HttpStatusLineByteByByte)->Arg(16)->Arg(1024)->Arg(8000);

}  // namespace
}  // namespace mivo
