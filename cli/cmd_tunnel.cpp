// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include <QEventLoop>
#include <QTimer>

#include <optional>
#include <string>

#include "cli/commands.h"
#include "cli/options.h"
#include "cli/output.h"
#include "tunnel/moduleproxy.h"
#include "tunnel/tunnel_session.h"
#include "tunnel/winsock1.h"

namespace mivo::cli {
namespace {

// What tunnel exits with, beside kExitUsage.
enum TunnelExit { kExitTunnelOpen = 0, kExitFailed = 1, kExitUnreachable = 3 };
// Without --timeout: the control gives up on a connect after 21 s, and this
// only guards against it never answering.
constexpr int kConnectGuardMs = 25000;
// A proxy that accepted the connection but never finishes the handshake.
constexpr int kHandshakeTimeoutMs = 30000;

// A line of what the window would show, out at once.
void Say(const std::string& text) {
  WriteOut(TextCell(text) + "\n");
  FlushOut();
}

// The tunnel window without a window: what it would show goes to stdout.
class PrintingView : public TunnelView {
 public:
  PrintingView(const TunnelOptions& o, TunnelSocket& socket) : o_(o), socket_(socket) {}

  void SetStatus(const std::string& text) override {
    if (!text.empty()) Say(text);
  }
  void ShowMessageBox(const std::string& text, const std::optional<std::string>& title, MsgIcon) override {
    ++boxes;
    std::string line = "[";
    line.append(title.value_or(kAppTitle)).append("] ").append(text);
    Say(line);
  }
  int AuthTicked() const override { return o_.credentials ? 1 : 0; }
  std::string TargetHostText() const override { return o_.targetHost; }
  std::string TargetPortText() const override { return o_.targetPort; }
  std::string UserText() const override { return o_.user; }
  std::string PasswordText() const override { return o_.password; }
  void SendBytes(const Bytes& bytes) override { socket_.SendBytes(bytes); }
  void SendText(const std::string& text) override { socket_.SendText(text); }
  void Close() override { socket_.CloseSck(); }

  int boxes = 0;

 private:
  const TunnelOptions& o_;
  TunnelSocket& socket_;
};

}  // namespace

int Tunnel(const TunnelOptions& o) {
  Moduleproxy& m = ProxyModule();
  m.ProxyKind = *o.kind;
  Winsock1Socket socket;
  PrintingView view(o, socket);
  TunnelSession session(m, view, socket);

  QEventLoop loop;
  bool connected = false;
  bool done = false;
  int rc = kExitFailed;
  auto finish = [&](int code) {
    if (done) return;
    done = true;
    rc = code;
    loop.quit();
  };
  auto settle = [&] {
    if (m.HandshakeState == HandshakeStep::TunnelOpen)
      finish(kExitTunnelOpen);
    else if (view.boxes > 0)
      finish(kExitFailed);
  };
  QTimer guard;
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, [&] {
    Say(connected ? "handshake timed out" : "connect timed out");
    finish(connected ? kExitFailed : kExitUnreachable);
  });

  socket.onConnect = [&] {
    connected = true;
    guard.start(static_cast<int>(o.timeoutMs.value_or(kHandshakeTimeoutMs)));
    session.OnConnect();
    settle();
  };
  socket.onDataArrival = [&] {
    session.OnDataArrival();
    settle();
  };
  socket.Control().events.CloseSck = [&] {
    Say("proxy closed the connection");
    finish(kExitFailed);
  };
  socket.Control().events.Error = [&](std::int16_t number, std::string& description, std::int32_t, std::string source,
                                      std::string, std::int32_t, bool&) {
    Say(std::to_string(number) + " " + description + " (" + source + ")");
    finish(connected ? kExitFailed : kExitUnreachable);
  };

  SetHandshakeState(m, HandshakeStep::Idle);
  if (!session.ConnectClicked({o.proxyHost, o.proxyPort, o.user, o.password, o.targetHost, o.targetPort}))
    return kExitFailed;
  guard.start(static_cast<int>(o.timeoutMs.value_or(kConnectGuardMs)));
  if (!done) loop.exec();
  socket.CloseSck();
  return rc;
}

}  // namespace mivo::cli
