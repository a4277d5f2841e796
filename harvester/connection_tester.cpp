// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "connection_tester.h"

#include <QLoggingCategory>

#include <algorithm>
#include <chrono>
#include <vector>

#include "common/fdlimit.h"
#include "harvester/main_window_ops.h"
#include "harvester/status_texts.h"
#include "ping/mod_ping.h"

Q_LOGGING_CATEGORY(lcWalk, "mivo.walk", QtWarningMsg)

namespace mivo {
namespace {

constexpr std::size_t kEchoRounds = 4;
constexpr std::size_t kEchoRoundRows = 256;

std::string TimeText(const EchoReply& reply) { return std::to_string(reply.roundTripTime) + " ms"; }

// After a single test's echo: a time of 0 ms is then no measurement.
void SayIfNoEchoes(MainWindowOps& ops) {
  if (const std::string why = EchoesUnavailable(); !why.empty()) ops.SetPanel(kStatusPanel, why);
}

constexpr const char* kWaiting = "waiting";
constexpr const char* kConnecting = "connecting";
constexpr const char* kPutBack = "waiting for a descriptor";

const char* StateName(int state) {
  static constexpr const char* kNames[] = {"idle", "closing", "starting", "finishing"};
  return kNames[state];
}

}  // namespace

ConnectionTester::ConnectionTester(MainWindowOps& ops) : ops_(ops) {
  retry_.setSingleShot(true);
  QObject::connect(&retry_, &QTimer::timeout, [this] { Slice(); });
  slice_.setSingleShot(true);
  slice_.setInterval(0);
  QObject::connect(&slice_, &QTimer::timeout, [this] { Slice(); });
  QObject::connect(&ops_.Rows(), &QAbstractItemModel::modelReset, &slice_, [this] { ListRefilled(); });
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
  const int count = ops_.Rows().Count();
  if (count == 0) return;
  // A walk still under way ends here: its connects in flight are dropped.
  if (Running()) EndWalk(nullptr);
  walk_.lastRow = count;
  walk_.pending.assign(static_cast<std::size_t>(count) + 1, false);
  // Every element is closed before it is reconnected anyway; closing them all
  // first gives this walk the descriptors earlier walks still hold.
  walk_.closeLast = Wsktest.UBound();
  walk_.state = WalkState::Closing;
  qCDebug(lcWalk).nospace() << "start: " << count << " rows";
  ops_.SetProgress(0, count);
  if (onRunning) onRunning(true);
  Settle();
  Slice();
}

void ConnectionTester::Stop() {
  if (Running()) EndWalk(kTextWalkStopped);
}

void ConnectionTester::StartRow(int Index) {
  ProxyListModel& rows = ops_.Rows();
  WinSock& element = Wsktest.Load(Index);
  element.CloseSck();
  walk_.pending[static_cast<std::size_t>(Index)] = true;
  walk_.pacer.Started();
  const std::string address = rows.Text(Index, ProxyColumn::Address);
  const std::string port = rows.Text(Index, ProxyColumn::Port);
  element.Connect(Variant(address), Variant(port));
  ops_.SetPanel(kStatusPanel, "IP:" + address + " , 端口: " + port + " 正在连接中...");
}

bool ConnectionTester::StartNext() {
  if (!walk_.pacer.MayStart()) return false;
  int row = 0;
  if (!walk_.waiting.empty()) {
    row = walk_.waiting.back();
    walk_.waiting.pop_back();
    qCDebug(lcWalk).nospace() << "row " << row << ": " << kPutBack << " => " << kConnecting;
  } else {
    row = walk_.nextRow++;
    qCDebug(lcWalk).nospace() << "row " << row << ": " << kWaiting << " => " << kConnecting;
    // Every row started is echoed once, whatever its connect does.
    echoQueue_.push_back(row);
  }
  StartRow(row);
  // Put back at once for want of a descriptor: the next row would fare no
  // better now, so the rest waits for a row to end or for the retry.
  return walk_.waiting.empty() || walk_.waiting.back() != row;
}

void ConnectionTester::Slice() {
  // An outcome raised inside Connect lands in RowEnded, which only asks for
  // another slice; this one goes on.
  if (walk_.starting) return;
  walk_.starting = true;
  // The window stays answering while a walk over a long list gets under way;
  // half the turn is left for the outcomes of the connects already started.
  const auto until = std::chrono::steady_clock::now() + kTurnBudget / 2;
  bool more = true;
  while (more && std::chrono::steady_clock::now() < until) {
    switch (walk_.state) {
      case WalkState::Closing:
        if (WinSock* element = Wsktest.Find(walk_.closeNext); element && element->SocketHandle() != INVALID_SOCKET)
          element->CloseSck();
        ++walk_.closeNext;
        break;
      case WalkState::Starting: more = StartNext(); break;
      case WalkState::Idle:
      case WalkState::Finishing: more = false; break;
    }
    Settle();
  }
  walk_.starting = false;
  SendQueuedEchoes();
  Settle();
  if (walk_.state == WalkState::Closing || (walk_.state == WalkState::Starting && walk_.pacer.MayStart()))
    slice_.start();
  else if (!walk_.waiting.empty() && walk_.pacer.InFlight() == 0)
    RetryOrGiveUp();
}

// Rows put back while nothing else of the walk runs wait for the rest of the
// process to let sockets go, but not for ever.
void ConnectionTester::RetryOrGiveUp() {
  const auto now = Pacer::Clock::now();
  if (const std::optional<Pacer::Clock::time_point> at = walk_.pacer.RetryAt(now)) {
    retry_.start(static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(*at - now).count()));
    return;
  }
  ProxyListModel& rows = ops_.Rows();
  for (const int row : std::exchange(walk_.waiting, {})) {
    qCDebug(lcWalk).nospace() << "row " << row << ": " << kPutBack << " => " << kMarkFailure;
    if (rows.Exists(row) && rows.Text(row, ProxyColumn::Result).empty())
      rows.SetText(row, ProxyColumn::Result, kMarkFailure);
    ++walk_.failed;
  }
  ops_.SetProgress(walk_.passed + walk_.failed, walk_.lastRow);
  Settle();
}

void ConnectionTester::SendQueuedEchoes() {
  // One round a call keeps the turn short; each round's end sends the next.
  if (echoes_.size() < kEchoRounds && !echoQueue_.empty()) {
    ProxyListModel& list = ops_.Rows();
    EchoWait& wait = echoes_.emplace_back();
    const auto it = std::prev(echoes_.end());
    const std::size_t n = std::min(kEchoRoundRows, echoQueue_.size());
    wait.rows.assign(echoQueue_.begin(), echoQueue_.begin() + static_cast<std::ptrdiff_t>(n));
    echoQueue_.erase(echoQueue_.begin(), echoQueue_.begin() + static_cast<std::ptrdiff_t>(n));
    std::vector<std::string> addresses;
    addresses.reserve(n);
    for (int row : wait.rows) addresses.push_back(list.Text(row, ProxyColumn::Address));
    wait.round = std::make_unique<PingRound>(std::move(addresses));
    if (wait.round->Descriptor() < 0) {
      if (walk_.noEchoes.empty()) walk_.noEchoes = EchoesUnavailable();
      EchoesDone(it);
      return;
    }
    wait.replies = std::make_unique<QSocketNotifier>(wait.round->Descriptor(), QSocketNotifier::Read);
    QObject::connect(wait.replies.get(), &QSocketNotifier::activated, [this, it] {
      if (it->round->Drain()) EchoesDone(it);
    });
    wait.expiry = std::make_unique<QTimer>();
    wait.expiry->setSingleShot(true);
    QObject::connect(wait.expiry.get(), &QTimer::timeout, [this, it] {
      it->round->Expire();
      EchoesDone(it);
    });
    wait.expiry->start(kEchoTimeoutMs);
  }
}

void ConnectionTester::EchoesDone(std::list<EchoWait>::iterator wait) {
  ProxyListModel& rows = ops_.Rows();
  const PingRound& round = *wait->round;
  for (std::size_t i = 0; i < round.Size(); ++i) {
    rows.SetText(wait->rows[i], ProxyColumn::Time, TimeText(round.Reply(i)));
    ops_.SetPanel(kStatusPanel, "Ping: " + round.Address(i));
  }
  DropEchoes(wait);
  SendQueuedEchoes();
  Settle();
}

void ConnectionTester::DropEchoes(std::list<EchoWait>::iterator wait) {
  if (wait->replies) {
    wait->replies->setEnabled(false);
    wait->replies.release()->deleteLater();
  }
  if (wait->expiry) {
    wait->expiry->stop();
    wait->expiry.release()->deleteLater();
  }
  echoes_.erase(wait);
}

void ConnectionTester::RowEnded(int Index, RowOutcome outcome) {
  if (Index < 1 || static_cast<std::size_t>(Index) >= walk_.pending.size() ||
      !walk_.pending[static_cast<std::size_t>(Index)])
    return;
  walk_.pending[static_cast<std::size_t>(Index)] = false;
  const bool putBack = outcome == RowOutcome::PutBack;
  qCDebug(lcWalk).nospace() << "row " << Index << ": " << kConnecting << " => "
                            << (putBack                          ? kPutBack
                                : outcome == RowOutcome::Success ? kMarkSuccess
                                                                 : kMarkFailure);
  if (putBack) {
    walk_.pacer.PutBack();
    walk_.waiting.push_back(Index);
  } else {
    walk_.pacer.Ended();
    ++(outcome == RowOutcome::Success ? walk_.passed : walk_.failed);
    ops_.SetProgress(walk_.passed + walk_.failed, walk_.lastRow);
  }
  if (!walk_.waiting.empty() || walk_.nextRow <= walk_.lastRow) {
    // Only a walk larger than the descriptors gives up a known outcome's socket.
    if (static_cast<std::size_t>(walk_.lastRow) > walk_.pacer.Limit())
      if (WinSock* element = Wsktest.Find(Index)) element->CloseSck();
    if (!walk_.starting) slice_.start();
  }
  Settle();
}

ConnectionTester::WalkState ConnectionTester::NextState() const {
  if (walk_.state == WalkState::Idle) return WalkState::Idle;
  if (walk_.closeNext <= walk_.closeLast) return WalkState::Closing;
  if (!walk_.waiting.empty() || walk_.nextRow <= walk_.lastRow) return WalkState::Starting;
  // A slice on the stack has echoes still to send.
  if (walk_.pacer.InFlight() > 0 || !echoes_.empty() || !echoQueue_.empty() || walk_.starting)
    return WalkState::Finishing;
  return WalkState::Idle;
}

void ConnectionTester::Settle() {
  const WalkState next = NextState();
  if (next == walk_.state) return;
  qCDebug(lcWalk).nospace() << "walk: " << StateName(static_cast<int>(walk_.state)) << " => "
                            << StateName(static_cast<int>(next));
  // What earlier walks held is free now: the allowance is the whole of it.
  if (walk_.state == WalkState::Closing) walk_.pacer = Pacer({SocketAllowance()});
  walk_.state = next;
  if (next == WalkState::Idle) EndWalk(kTextWalkDone);
}

void ConnectionTester::EndWalk(const char* head) {
  slice_.stop();
  retry_.stop();
  // Connects still in flight are dropped without an outcome.
  for (std::size_t i = 1; i < walk_.pending.size(); ++i)
    if (walk_.pending[i])
      if (WinSock* element = Wsktest.Find(static_cast<int>(i))) element->CloseSck();
  while (!echoes_.empty()) DropEchoes(echoes_.begin());
  echoQueue_.clear();
  const Walk ended = std::exchange(walk_, Walk{});
  qCDebug(lcWalk).nospace() << "end: " << ended.passed << " passed, " << ended.failed << " failed";
  if (head) ops_.SetPanel(kStatusPanel, RunEndText(head, ended.passed, ended.failed));
  // Once per walk, after its end: a time of 0 ms is then no measurement.
  if (head && !ended.noEchoes.empty()) ops_.SetPanel(kStatusPanel, ended.noEchoes);
  ops_.SetProgress(0, 0);
  if (onRunning) onRunning(false);
}

void ConnectionTester::ListRefilled() {
  if (!Running()) return;
  // Outcomes in flight still go to the rows that now have their numbers.
  walk_.nextRow = walk_.lastRow + 1;
  walk_.waiting.clear();
  // Echo times measured the old rows: they are dropped.
  while (!echoes_.empty()) DropEchoes(echoes_.begin());
  echoQueue_.clear();
  Settle();
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
