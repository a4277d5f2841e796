// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include <QEventLoop>
#include <QHostInfo>
#include <QString>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/commands.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/row_input.h"
#include "harvester/connection_tester.h"
#include "tunnel/tunnel_input.h"
#include "verify/exit_location.h"
#include "verify/judge_ask.h"
#include "verify/tls_channel.h"
#include "verify/verifier.h"

namespace mivo::cli {
namespace {

// Today's seven columns, then what a row found on the way.
constexpr Column kColumns[] = {{"address", "address"},
                               {"port", "port"},
                               {"protocol", "protocol"},
                               {"outcome", "outcome"},
                               {"time", "time_ms"},
                               {"anonymity", "anonymity"},
                               {"exit", "exit"},
                               {"reason", "reason"},
                               {"connect_ms", "connect_ms"},
                               {"handshake_ms", "handshake_ms"},
                               {"answer_ms", "answer_ms"},
                               {"country", "country"},
                               {"asn", "asn"}};

Cell MsCell(std::int32_t ms) { return ms >= 0 ? Cell::Number(ms, std::to_string(ms)) : Cell::Missing(); }

// Where an exit address is; nothing for what is not known.
struct Place {
  std::string country;
  std::string asn;
};

// The cells of a row, missing where there is nothing to say.
std::vector<Cell> Cells(const verify::Row& row, const verify::Result& r, const Place& place) {
  const auto textOrMissing = [](std::string text) {
    return text.empty() || text == "-" ? Cell::Missing() : Cell(std::move(text));
  };
  const bool tunnel = r.connectMs >= 0 && r.handshakeMs >= 0;
  return {row.address,
          row.port,
          textOrMissing(verify::ProtocolText(r.protocol)),
          r.Ok() ? kMarkSuccess : kMarkFailure,
          tunnel && r.Ok()
              ? Cell::Number(r.connectMs + r.handshakeMs, std::to_string(r.connectMs + r.handshakeMs) + " ms")
              : Cell::Missing(),
          textOrMissing(verify::AnonymityText(r.anonymity)),
          textOrMissing(r.exitAddress),
          r.Ok() ? Cell::Missing() : Cell(verify::ReasonText(r.reason)),
          MsCell(r.connectMs),
          MsCell(r.handshakeMs),
          MsCell(r.answerMs),
          textOrMissing(place.country),
          textOrMissing(place.asn)};
}

void Print(const verify::Verifier& v, const std::vector<Place>& places, OutputFormat format) {
  RowWriter writer(format, kColumns);
  for (std::size_t i = 0; i < v.Rows().size(); ++i) writer.Write(Cells(v.Rows()[i], v.Results()[i], places[i]));
  writer.Finish();
}

// A host's address for the tunnels: itself, or looked up once when it is a name.
std::optional<std::string> HostAddress(const std::string& host, const std::string& what, std::string& error) {
  if (IsDottedQuad(host)) return host;
  const QHostInfo info = QHostInfo::fromName(QString::fromStdString(host));
  for (const QHostAddress& a : info.addresses())
    if (a.protocol() == QAbstractSocket::IPv4Protocol) return a.toString().toStdString();
  error = "cannot find an IPv4 address for " + what + "'s host " + host +
          (info.error() != QHostInfo::NoError ? ": " + info.errorString().toStdString() : std::string());
  return std::nullopt;
}

// The arguments were fine, what they name cannot serve.
int CannotServe(const std::string& error) {
  WriteErrLine("mivoproxy-cli verify: " + error);
  return kExitUsage;
}

void Note(const std::string& text) { WriteErrLine("mivoproxy-cli verify: " + text); }

// Every judge asked directly, side by side: how each sees this machine
// without a proxy. Those that cannot serve are left out with a note.
void AskJudges(const VerifyArgs& o, verify::Options& options) {
  std::vector<std::unique_ptr<verify::DirectJudgeAsk>> asks;
  std::vector<verify::FarSide> sides;
  std::vector<std::string> texts;
  for (std::size_t i = 0; i < o.judges.size(); ++i) {
    std::string error;
    const std::optional<std::string> address = HostAddress(o.judges[i].host, "the judge", error);
    if (!address) {
      Note("the judge " + o.judgeTexts[i] + " is left out: " + error);
      continue;
    }
    sides.push_back({o.judges[i], *address});
    texts.push_back(o.judgeTexts[i]);
    asks.push_back(std::make_unique<verify::DirectJudgeAsk>(*address, o.judges[i]));
  }
  QEventLoop loop;
  QTimer guard;
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
  auto allDone = [&] { return std::all_of(asks.begin(), asks.end(), [](const auto& a) { return a->Done(); }); };
  for (auto& ask : asks) {
    ask->onDone = [&] {
      if (allDone()) loop.quit();
    };
    ask->Start();
  }
  guard.start(static_cast<int>(std::min<std::int64_t>(o.timeoutMs, 86400 * 1000)));
  if (!allDone()) loop.exec();
  for (std::size_t i = 0; i < asks.size(); ++i) {
    const verify::DirectJudgeAsk& ask = *asks[i];
    if (!ask.Done()) {
      Note("the judge " + texts[i] + " is left out: it did not answer in time");
    } else if (ask.OwnAddress().empty()) {
      Note("the judge " + texts[i] + " is left out: " + ask.Error());
    } else {
      options.judges.push_back(sides[i]);
      if (std::find(options.ownAddresses.begin(), options.ownAddresses.end(), ask.OwnAddress()) ==
          options.ownAddresses.end())
        options.ownAddresses.push_back(ask.OwnAddress());
    }
  }
}

// Country and autonomous system of each row's exit address; "-" with one
// note when there is no database to ask.
std::vector<Place> Places(const VerifyArgs& o, const std::vector<verify::Result>& results) {
  std::vector<Place> places(results.size());
  const bool anyExit =
      std::any_of(results.begin(), results.end(), [](const verify::Result& r) { return !r.exitAddress.empty(); });
  if (!anyExit && o.locationDb.empty()) return places;
  std::string error;
  const std::unique_ptr<verify::LocationDb> db =
      verify::LocationDb::Open(o.locationDb.empty() ? verify::kDefaultLocationDb : o.locationDb, error);
  if (!db) {
    Note("no location database, the country and asn columns say -: " + error);
    return places;
  }
  for (std::size_t i = 0; i < results.size(); ++i) {
    if (results[i].exitAddress.empty()) continue;
    const std::optional<verify::ExitLocation> where = db->Lookup(results[i].exitAddress);
    if (!where) continue;
    if (!where->country.empty()) places[i].country = where->country;
    if (where->asn != 0)
      places[i].asn = "AS" + std::to_string(where->asn) + (where->asName.empty() ? "" : " " + where->asName);
  }
  return places;
}

}  // namespace

int Verify(const VerifyArgs& o) {
  std::string error;
  verify::Options options;
  options.timeout = std::chrono::milliseconds(o.timeoutMs);
  options.maxInFlight = static_cast<std::size_t>(o.concurrency);
  options.credentials = o.credentials;
  options.user = o.user;
  options.password = o.password;
  options.targetHost = o.targetHost;
  options.targetPort = o.targetPort;
  if (!o.judges.empty()) {
    AskJudges(o, options);
    if (options.judges.empty())
      return CannotServe(o.judges.size() == 1 ? "the judge " + o.judgeTexts.front() + " cannot be used"
                                              : "none of the judges can be used");
  }
  if (o.url) {
    const std::optional<std::string> address = HostAddress(o.url->host, "--url", error);
    if (!address) return CannotServe(error);
    options.page = verify::FarSide{*o.url, *address};
    options.expect = o.expect;
    if (o.url->https) {
      options.tls = verify::TlsContext::Make(o.caFile, error);
      if (!options.tls) return CannotServe(error);
    }
  }

  RowsRead input = ReadRowsFromFd(STDIN_FILENO);
  if (!input.error.empty()) return ReportUsageError(Command::Verify, "cannot read standard input: " + input.error);
  std::vector<verify::Row> rows;
  for (std::size_t i = 0; i < input.rows.size(); ++i) {
    InputRow& in = input.rows[i];
    // A line that is no row keeps an address ending in "…", which fails as no address can.
    std::optional<std::string> problem = in.problem.empty() ? std::nullopt : std::optional(in.problem);
    rows.push_back(
        {std::move(in.address), std::move(in.port), std::move(in.type), std::move(in.user), std::move(in.password)});
    if (!problem) problem = verify::RowProblem(rows.back());
    if (problem) WriteErrLine("row " + std::to_string(i + 1) + ": " + *problem);
  }

  verify::Verifier verifier(std::move(rows), options);
  QEventLoop loop;
  verifier.onFinished = [&loop] { loop.quit(); };
  verifier.Start();
  if (!verifier.Finished()) loop.exec();

  const std::vector<verify::Result>& results = verifier.Results();
  for (std::size_t i = 0; i < results.size(); ++i)
    if (results[i].reason == verify::Reason::NoSocket)
      WriteErrLine("row " + std::to_string(i + 1) +
                   ": this process could get no socket for it (descriptors or local ports used up)");
  Print(verifier, Places(o, results), o.format);
  return 0;
}

}  // namespace mivo::cli
