// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "list_verify.h"

#include <QSettings>
#include <QStringList>

#include <algorithm>
#include <chrono>
#include <utility>

#include "harvester/main_window_ops.h"
#include "harvester/status_texts.h"
#include "tunnel/tunnel_input.h"
#include "verify/exit_location.h"
#include "verify/tls_channel.h"

namespace mivo {
namespace {

constexpr const char* kJudgesKey = "verify/judges";
constexpr const char* kUrlKey = "verify/url";
constexpr const char* kExpectKey = "verify/expect";
constexpr const char* kUserKey = "verify/user";
constexpr const char* kTimeoutKey = "verify/timeout_s";
constexpr const char* kConcurrencyKey = "verify/concurrency";

struct ReasonName {
  verify::Reason reason;
  const char* text;
};

constexpr ReasonName kReasonNames[] = {
    {verify::Reason::Pending, ""},
    {verify::Reason::Passed, "通过"},
    {verify::Reason::BadRow, "地址或端口无效"},
    {verify::Reason::Refused, "连接被拒绝"},
    {verify::Reason::Unreachable, "无法到达"},
    {verify::Reason::ConnectTimeout, "连接超时"},
    {verify::Reason::ProxyRefused, "代理拒绝"},
    {verify::Reason::AuthRequired, "需要认证"},
    {verify::Reason::AuthFailed, "认证失败"},
    {verify::Reason::BadReply, "应答无效"},
    {verify::Reason::NoAnswer, "无应答"},
    {verify::Reason::BadStatus, "状态码错误"},
    {verify::Reason::WrongContent, "内容不符"},
    {verify::Reason::Tls, "TLS 证书错误"},
    {verify::Reason::NoSocket, "无可用套接字"},
};

std::string Cell(const char* text) { return std::string_view(text) == "-" ? std::string() : std::string(text); }

}  // namespace

VerifySettings LoadVerifySettings(const QString& file) {
  const QSettings kept(file, QSettings::IniFormat);
  VerifySettings s;
  for (const QString& j : kept.value(kJudgesKey).toStringList())
    if (!j.trimmed().isEmpty()) s.judges.push_back(j.trimmed().toStdString());
  s.url = kept.value(kUrlKey).toString().toStdString();
  s.expect = kept.value(kExpectKey).toString().toStdString();
  s.user = kept.value(kUserKey).toString().toStdString();
  s.timeoutSeconds = kept.value(kTimeoutKey, s.timeoutSeconds).toInt();
  s.concurrency = kept.value(kConcurrencyKey, s.concurrency).toInt();
  return s;
}

bool SaveVerifySettings(const QString& file, const VerifySettings& s) {
  QSettings kept(file, QSettings::IniFormat);
  QStringList judges;
  for (const std::string& j : s.judges) judges << QString::fromStdString(j);
  kept.setValue(kJudgesKey, judges);
  kept.setValue(kUrlKey, QString::fromStdString(s.url));
  kept.setValue(kExpectKey, QString::fromStdString(s.expect));
  kept.setValue(kUserKey, QString::fromStdString(s.user));
  kept.setValue(kTimeoutKey, s.timeoutSeconds);
  kept.setValue(kConcurrencyKey, s.concurrency);
  kept.sync();
  return kept.status() == QSettings::NoError;
}

const char* ReasonUiText(verify::Reason reason) {
  for (const ReasonName& n : kReasonNames)
    if (n.reason == reason) return n.text;
  return verify::ReasonText(reason);
}

const char* AnonymityUiText(verify::Anonymity anonymity) {
  switch (anonymity) {
    case verify::Anonymity::Transparent: return "透明";
    case verify::Anonymity::Anonymous: return "匿名";
    case verify::Anonymity::Elite: return "高匿";
    case verify::Anonymity::Unknown: break;
  }
  return "";
}

ListVerification::ListVerification(MainWindowOps& ops) : ops_(ops) {
  judgeDeadline_.setSingleShot(true);
  QObject::connect(&judgeDeadline_, &QTimer::timeout, &context_, [this] { JudgesDone(); });
  listSlice_.setSingleShot(true);
  listSlice_.setInterval(0);
  QObject::connect(&listSlice_, &QTimer::timeout, &context_, [this] { ListRows(); });
  // A refilled list has none of the rows the verification was started on.
  QObject::connect(&ops_.Rows(), &QAbstractItemModel::modelReset, &context_, [this] {
    if (Running()) Stop();
  });
}

ListVerification::~ListVerification() = default;

bool ListVerification::Fail(const std::string& text) {
  ops_.SetPanel(kStatusPanel, text);
  asks_.clear();
  SetState(State::Idle);
  return false;
}

void ListVerification::Start(std::vector<int> rows, const VerifySettings& settings) {
  if (Running()) Stop();
  std::erase_if(rows, [this](int n) { return !ops_.Rows().Exists(n); });
  if (rows.empty()) {
    Fail(kTextListFirst);
    return;
  }
  options_ = {};
  options_.timeout = std::chrono::seconds(std::max(1, settings.timeoutSeconds));
  options_.maxInFlight = static_cast<std::size_t>(std::max(1, settings.concurrency));
  options_.credentials = !settings.user.empty();
  options_.user = settings.user;
  options_.password = settings.password;
  judges_.clear();
  std::string error;
  for (const std::string& text : settings.judges) {
    const std::optional<verify::JudgeUrl> judge = verify::ParseJudgeUrl(text, error);
    if (!judge) {
      Fail(kTextVerifySettingsWrong + text + ": " + error);
      return;
    }
    if (!IsDottedQuad(judge->host)) {
      Fail(kTextVerifySettingsWrong + text + ": " + kTextVerifyNeedsIpv4);
      return;
    }
    judges_.push_back({*judge, judge->host});
  }
  if (!settings.url.empty()) {
    const std::optional<verify::JudgeUrl> page = verify::ParseJudgeUrl(settings.url, error, "the page");
    if (!page || !IsDottedQuad(page->host)) {
      Fail(kTextVerifySettingsWrong + settings.url + ": " + (page ? kTextVerifyNeedsIpv4 : error));
      return;
    }
    options_.page = verify::FarSide{*page, page->host};
    options_.expect = settings.expect;
    if (page->https) {
      options_.tls = verify::TlsContext::Make({}, error);
      if (!options_.tls) {
        Fail(kTextVerifySettingsWrong + settings.url + ": " + error);
        return;
      }
    }
  }
  if (judges_.empty() && !options_.page) {
    Fail(kTextVerifyNothingToAsk);
    return;
  }
  rowNumbers_ = std::move(rows);
  passed_ = failed_ = 0;
  ++run_;
  if (judges_.empty()) {
    SetState(State::Listing);
    ListRows();
    return;
  }
  SetState(State::AskingJudges);
  ops_.SetPanel(kStatusPanel, kTextAskingJudges);
  for (const verify::FarSide& judge : judges_) {
    auto& ask = asks_.emplace_back(std::make_unique<verify::DirectJudgeAsk>(judge.address, judge.url));
    // Not from within the ask's own events: starting the rows may drop the asks.
    ask->onDone = [this] {
      QMetaObject::invokeMethod(
          &context_, [this] { JudgeAnswered(); }, Qt::QueuedConnection);
    };
  }
  judgeDeadline_.start(options_.timeout);
  for (auto& ask : asks_) ask->Start();
}

void ListVerification::JudgeAnswered() {
  if (state_ != State::AskingJudges) return;
  if (std::all_of(asks_.begin(), asks_.end(), [](const auto& a) { return a->Done(); })) JudgesDone();
}

void ListVerification::JudgesDone() {
  judgeDeadline_.stop();
  if (state_ != State::AskingJudges) return;
  std::string why = kTextJudgeSilent;
  for (std::size_t i = 0; i < asks_.size(); ++i) {
    if (!asks_[i]->Done()) continue;
    if (asks_[i]->OwnAddress().empty()) {
      why = asks_[i]->Error();
      continue;
    }
    options_.judges.push_back(judges_[i]);
    if (std::find(options_.ownAddresses.begin(), options_.ownAddresses.end(), asks_[i]->OwnAddress()) ==
        options_.ownAddresses.end())
      options_.ownAddresses.push_back(asks_[i]->OwnAddress());
  }
  asks_.clear();
  if (options_.judges.empty()) {
    Fail(kTextNoJudge + why);
    return;
  }
  SetState(State::Listing);
  ListRows();
}

void ListVerification::ListRows() {
  // A long list is copied over several turns, so that the window keeps answering.
  const auto until = std::chrono::steady_clock::now() + kTurnBudget;
  const ProxyListModel& list = ops_.Rows();
  if (listed_.empty()) listed_.reserve(rowNumbers_.size());
  while (listed_.size() < rowNumbers_.size()) {
    const int n = rowNumbers_[listed_.size()];
    listed_.push_back({list.Text(n, ProxyColumn::Address), list.Text(n, ProxyColumn::Port),
                       list.Text(n, ProxyColumn::Type), list.Text(n, ProxyColumn::User),
                       list.Text(n, ProxyColumn::Password)});
    if (listed_.size() % 256 == 0 && std::chrono::steady_clock::now() >= until) {
      listSlice_.start();
      return;
    }
  }
  SetState(State::Verifying);
  StartRows();
}

void ListVerification::StartRows() {
  verifier_ = std::make_unique<verify::Verifier>(std::exchange(listed_, {}), options_);
  ops_.SetProgress(0, static_cast<int>(rowNumbers_.size()));
  for (std::size_t i = 0; i < rowNumbers_.size(); ++i)
    if (verifier_->Results()[i].reason == verify::Reason::BadRow) RowEnded(i);
  verifier_->onRowEnded = [this](std::size_t i) { RowEnded(i); };
  // Queued: the verifier is dropped at the end, not from within its own call.
  verifier_->onFinished = [this, run = run_] {
    QMetaObject::invokeMethod(
        &context_,
        [this, run] {
          if (run == run_ && state_ == State::Verifying) End(kTextVerifyDone);
        },
        Qt::QueuedConnection);
  };
  verifier_->Start();
}

void ListVerification::RowEnded(std::size_t i) {
  const verify::Result& r = verifier_->Results()[i];
  const int n = rowNumbers_[i];
  ++(r.Ok() ? passed_ : failed_);
  ops_.SetProgress(passed_ + failed_, static_cast<int>(rowNumbers_.size()));
  ProxyListModel& list = ops_.Rows();
  std::string country;
  if (!r.exitAddress.empty()) {
    // Opened when first needed; without it the country stays empty and the end text says why.
    if (!places_ && noPlaces_.empty()) {
      places_ = verify::LocationDb::Open(verify::kDefaultLocationDb, noPlaces_);
      if (!places_ && noPlaces_.empty()) noPlaces_ = verify::kDefaultLocationDb;
    }
    if (places_)
      if (const std::optional<verify::ExitLocation> where = places_->Lookup(r.exitAddress)) country = where->country;
  }
  list.SetText(n, ProxyColumn::Protocol, Cell(verify::ProtocolText(r.protocol)));
  list.SetText(n, ProxyColumn::Anonymity, AnonymityUiText(r.anonymity));
  list.SetText(n, ProxyColumn::Exit, r.exitAddress);
  list.SetText(n, ProxyColumn::Country, country);
  list.SetText(n, ProxyColumn::HandshakeMs, r.handshakeMs >= 0 ? std::to_string(r.handshakeMs) : std::string());
  list.SetText(n, ProxyColumn::Reason, ReasonUiText(r.reason));
}

void ListVerification::Stop() {
  if (state_ == State::Idle) return;
  End(kTextVerifyStopped);
}

void ListVerification::End(const char* head) {
  judgeDeadline_.stop();
  listSlice_.stop();
  listed_.clear();
  asks_.clear();
  verifier_.reset();
  std::string text = RunEndText(head, passed_, failed_);
  if (!noPlaces_.empty()) text += kTextNoLocationDb + std::exchange(noPlaces_, {});
  ops_.SetPanel(kStatusPanel, text);
  ops_.SetProgress(0, 0);
  SetState(State::Idle);
}

void ListVerification::SetState(State next) {
  const bool was = Running();
  state_ = next;
  if (was != Running() && onRunning) onRunning(Running());
}

}  // namespace mivo
