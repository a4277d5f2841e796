// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "connection_tester.h"

#include <QLoggingCategory>

#include <algorithm>
#include <vector>

#include "common/fdlimit.h"
#include "harvester/main_window_ops.h"
#include "harvester/status_texts.h"
#include "ping/mod_ping.h"

Q_LOGGING_CATEGORY(lcWalk, "mivo.walk", QtWarningMsg)

namespace mivo {
namespace {

// How soon a row put back for want of a descriptor is tried again when no
// other row of the walk is left to free one.
constexpr int kRetryMs = 50;

std::string TimeText(const EchoReply& reply) { return std::to_string(reply.roundTripTime) + " ms"; }

// Once per test, after its echoes: a time of 0 ms is then no measurement.
void SayIfNoEchoes(MainWindowOps& ops) {
  if (const std::string why = EchoesUnavailable(); !why.empty()) ops.SetPanel(kStatusPanel, why);
}

constexpr const char* kWaiting = "waiting";
constexpr const char* kConnecting = "connecting";
constexpr const char* kPutBack = "waiting for a descriptor";

}  // namespace

ConnectionTester::ConnectionTester(MainWindowOps& ops) : ops_(ops) {
  retry_.setSingleShot(true);
  retry_.setInterval(kRetryMs);
  QObject::connect(&retry_, &QTimer::timeout, [this] {
    walk_.limit = std::max<std::size_t>(walk_.limit, 1);
    StartRows();
  });
  Wsktest.Load(0);
  Wsktest.events.Connect = [this](int Index) { Wsktest_Connect(Index); };
  Wsktest.events.Error = [this](int Index, std::int16_t Number, std::string& Description, std::int32_t sCode,
                                std::string Source, std::string HelpFile, std::int32_t HelpContext,
                                bool& CancelDisplay) {
    Wsktest_Error(Index, Number, Description, sCode, std::move(Source), std::move(HelpFile), HelpContext,
                  CancelDisplay);
  };
  Wsktest.events.CloseSck = [this](int Index) { Wsktest_CloseSck(Index); };
}

std::string ConnectionTester::PingText(const std::string& address) {
  EchoReply reply{};
  PingAddress(address, reply);
  ops_.SetPanel(kStatusPanel, "Ping: " + address);
  SayIfNoEchoes(ops_);
  return TimeText(reply);
}

void ConnectionTester::conTest() {
  WinSock& element = Wsktest[0];
  // Closing drops any earlier attempt without an event, so its report goes too.
  single_.reset();
  element.CloseSck();
  ProxyListModel& rows = ops_.Rows();
  const int n = ops_.SelectedRow();
  if (!rows.Exists(n)) {
    ops_.SetPanel(kStatusPanel, kTextUpdateListFirst);
    return;
  }
  const std::string address = rows.Text(n, ProxyColumn::Address);
  const std::string port = rows.Text(n, ProxyColumn::Port);
  single_ = SingleTest{n, address, port};
  element.Connect(Variant(address), Variant(port));
  ops_.SetPanel(kStatusPanel, "连接: " + address + ":" + port + " 中...");
  rows.SetText(n, ProxyColumn::Time, PingText(address));
  if (!single_) return;
  single_->starting = false;
  // A connect refused at once failed before the texts above; report it last so that it stays visible.
  if (single_->failed) ReportSingleFailure();
}

void ConnectionTester::testall() {
  ProxyListModel& rows = ops_.Rows();
  const int count = rows.Count();
  if (count == 0) return;
  // A walk still under way ends here: its rows not yet started are dropped.
  retry_.stop();
  walk_ = Walk{};
  walk_.lastRow = count;
  walk_.pending.assign(static_cast<std::size_t>(count) + 1, false);
  // Sockets an earlier walk left open are closed before their rows reconnect.
  std::size_t held = 0;
  for (int i = 1; i <= count; ++i)
    if (const WinSock* element = Wsktest.Find(i); element && element->SocketHandle() != INVALID_SOCKET) ++held;
  walk_.limit = SocketAllowance() + held;
  qCDebug(lcWalk).nospace() << "start: " << count << " rows, at most " << walk_.limit << " in flight";
  StartRows();
  // The echoes share one wait after every connect has started, instead of
  // blocking the window once per row.
  std::vector<std::string> addresses(static_cast<std::size_t>(count));
  for (int i = 1; i <= count; ++i) addresses[static_cast<std::size_t>(i - 1)] = rows.Text(i, ProxyColumn::Address);
  std::vector<EchoReply> replies(static_cast<std::size_t>(count));
  PingAddresses(addresses, replies);
  for (int i = 1; i <= count; ++i) {
    const std::string& address = addresses[static_cast<std::size_t>(i - 1)];
    rows.SetText(i, ProxyColumn::Time, TimeText(replies[static_cast<std::size_t>(i - 1)]));
    ops_.SetPanel(kStatusPanel, "Ping: " + address);
    ops_.SetPanel(kStatusPanel, "Ping: " + address);
  }
  SayIfNoEchoes(ops_);
}

void ConnectionTester::StartRow(int Index) {
  ProxyListModel& rows = ops_.Rows();
  WinSock& element = Wsktest.Load(Index);
  element.CloseSck();
  walk_.pending[static_cast<std::size_t>(Index)] = true;
  ++walk_.inFlight;
  const std::string address = rows.Text(Index, ProxyColumn::Address);
  const std::string port = rows.Text(Index, ProxyColumn::Port);
  element.Connect(Variant(address), Variant(port));
  ops_.SetPanel(kStatusPanel, "IP:" + address + " , 端口: " + port + " 正在连接中...");
}

void ConnectionTester::StartRows() {
  // An outcome raised inside Connect comes back here; the loop below goes on.
  if (walk_.starting) return;
  walk_.starting = true;
  while (walk_.inFlight < walk_.limit) {
    if (!walk_.waiting.empty()) {
      const int row = walk_.waiting.back();
      walk_.waiting.pop_back();
      qCDebug(lcWalk).nospace() << "row " << row << ": " << kPutBack << " => " << kConnecting;
      StartRow(row);
    } else if (walk_.nextRow <= walk_.lastRow) {
      qCDebug(lcWalk).nospace() << "row " << walk_.nextRow << ": " << kWaiting << " => " << kConnecting;
      StartRow(walk_.nextRow++);
    } else {
      break;
    }
    if (walk_.waiting.empty() && walk_.nextRow > walk_.lastRow)
      qCDebug(lcWalk).nospace() << "all " << walk_.lastRow << " rows started";
  }
  walk_.starting = false;
  // A row put back while nothing else of the walk runs would wait for ever.
  if (!walk_.waiting.empty() && walk_.inFlight == 0) retry_.start();
}

void ConnectionTester::RowEnded(int Index, RowOutcome outcome) {
  if (Index < 1 || static_cast<std::size_t>(Index) >= walk_.pending.size() ||
      !walk_.pending[static_cast<std::size_t>(Index)])
    return;
  walk_.pending[static_cast<std::size_t>(Index)] = false;
  --walk_.inFlight;
  const bool putBack = outcome == RowOutcome::PutBack;
  qCDebug(lcWalk).nospace() << "row " << Index << ": " << kConnecting << " => "
                            << (putBack                          ? kPutBack
                                : outcome == RowOutcome::Success ? kMarkSuccess
                                                                 : kMarkFailure);
  if (putBack) {
    walk_.waiting.push_back(Index);
    // Fewer descriptors than counted: no more at once than hold one now.
    walk_.limit = walk_.inFlight;
  }
  const bool rowsWait = !walk_.waiting.empty() || walk_.nextRow <= walk_.lastRow;
  if (!rowsWait) return;
  // Only a walk larger than the descriptors gives up a known outcome's socket.
  if (WinSock* element = Wsktest.Find(Index)) element->CloseSck();
  StartRows();
}

void ConnectionTester::Wsktest_Connect(int Index) {
  ProxyListModel& rows = ops_.Rows();
  WinSock* single = Wsktest.Find(0);
  if (single && single->State() == SocketState::Connected) {
    // Reported against the row selected now, which may not be the one tested.
    const int n = ops_.SelectedRow();
    if (rows.Exists(n)) {
      ops_.SetPanel(kStatusPanel, "地址: " + rows.Text(n, ProxyColumn::Address) + ":" +
                                      rows.Text(n, ProxyColumn::Port) + " 连接成功...");
      rows.SetText(n, ProxyColumn::Result, kMarkSuccess);
    }
    single_.reset();
    single->CloseSck();
    return;
  }
  rows.SetText(Index, ProxyColumn::Result, kMarkSuccess);
  if (WinSock* element = Wsktest.Find(Index))
    ops_.SetPanel(kStatusPanel,
                  "IP: " + element->RemoteHostIP() + ":" + std::to_string(element->RemotePort()) + " 连接成功...");
  RowEnded(Index, RowOutcome::Success);
}

void ConnectionTester::Wsktest_Error(int Index, std::int16_t Number, std::string&, std::int32_t, std::string,
                                     std::string, std::int32_t, bool&) {
  if (Index == 0) {
    if (!single_) return;
    if (single_->starting)
      single_->failed = true;
    else
      ReportSingleFailure();
    return;
  }
  const bool putBack = OutOfDescriptors(Number) && Index < static_cast<int>(walk_.pending.size()) &&
                       walk_.pending[static_cast<std::size_t>(Index)];
  ProxyListModel& rows = ops_.Rows();
  if (!putBack && rows.Exists(Index) && rows.Text(Index, ProxyColumn::Result).empty())
    rows.SetText(Index, ProxyColumn::Result, kMarkFailure);
  RowEnded(Index, putBack ? RowOutcome::PutBack : RowOutcome::Failure);
}

void ConnectionTester::ReportSingleFailure() {
  const SingleTest t = *single_;
  single_.reset();
  ops_.SetPanel(kStatusPanel, "地址: " + t.address + ":" + t.port + " 连接失败...");
  // The tested row, as long as the list still holds the same proxy there; a
  // success already shown stays, as it does for a walk.
  ProxyListModel& rows = ops_.Rows();
  if (rows.Exists(t.row) && rows.Text(t.row, ProxyColumn::Address) == t.address &&
      rows.Text(t.row, ProxyColumn::Port) == t.port && rows.Text(t.row, ProxyColumn::Result).empty())
    rows.SetText(t.row, ProxyColumn::Result, kMarkFailure);
}

void ConnectionTester::Wsktest_CloseSck(int Index) {
  // A walk leaves its connections open; the proxy dropping one later says
  // nothing new about the row, which keeps its mark. Only the element goes,
  // so that the next walk makes it afresh.
  if (Index != 0) Wsktest.Unload(Index);
}

}  // namespace mivo
