// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include <QEventLoop>
#include <QHostInfo>
#include <QString>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/options.h"
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
constexpr const char* kColumns[] = {"address",   "port",    "protocol", "outcome",    "time",
                                    "anonymity", "exit",    "reason",   "connect_ms", "handshake_ms",
                                    "answer_ms", "country", "asn"};
constexpr std::size_t kFirstNew = 7;

std::string MsCell(std::int32_t ms) { return ms >= 0 ? std::to_string(ms) : "-"; }

// Where an exit address is; "-" for what is not known.
struct Place {
  std::string country = "-";
  std::string asn = "-";
};

// The cells of a row, "-" where there is nothing to say.
std::vector<std::string> Cells(const verify::Row& row, const verify::Result& r, const Place& place) {
  const bool tunnel = r.connectMs >= 0 && r.handshakeMs >= 0;
  return {row.address,
          row.port,
          verify::ProtocolText(r.protocol),
          r.Ok() ? kMarkSuccess : kMarkFailure,
          tunnel && r.Ok() ? std::to_string(r.connectMs + r.handshakeMs) + " ms" : "-",
          verify::AnonymityText(r.anonymity),
          r.exitAddress.empty() ? "-" : r.exitAddress,
          r.Ok() ? "-" : verify::ReasonText(r.reason),
          MsCell(r.connectMs),
          MsCell(r.handshakeMs),
          MsCell(r.answerMs),
          place.country,
          place.asn};
}

std::string JsonString(const std::string& text) {
  // Bytes that are not UTF-8 become U+FFFD, so that the output stays JSON.
  const std::string utf8 = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())).toStdString();
  std::string out = "\"";
  for (char c : utf8) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

bool IsNumber(const std::string& cell) {
  return !cell.empty() && cell.find_first_not_of("0123456789") == std::string::npos;
}

void Print(const verify::Verifier& v, const std::vector<Place>& places, OutputFormat format) {
  const std::vector<verify::Row>& rows = v.Rows();
  const std::vector<verify::Result>& results = v.Results();
  if (format == OutputFormat::Csv) {
    std::string header;
    for (const char* c : kColumns) {
      if (!header.empty()) header += ',';
      header += c;
    }
    std::printf("%s\n", header.c_str());
  }
  if (format == OutputFormat::Json) std::printf("[");
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const verify::Result& r = results[i];
    const std::vector<std::string> cols = Cells(rows[i], r, places[i]);
    std::string line;
    switch (format) {
      case OutputFormat::Text:
        for (std::size_t k = 0; k < cols.size(); ++k) {
          if (k != 0) line += '\t';
          line += cols[k];
        }
        break;
      case OutputFormat::Csv:
        for (std::size_t k = 0; k < cols.size(); ++k) {
          if (k != 0) line += ',';
          line += CsvField(cols[k]);
        }
        break;
      case OutputFormat::Json: {
        // Numbers and nulls where the text has "N ms", a count of ms and "-".
        auto textOrNull = [](const std::string& s) { return s == "-" ? std::string("null") : JsonString(s); };
        line = std::string(i == 0 ? "\n" : ",\n") + "  {\"address\": " + JsonString(cols[0]) +
               ", \"port\": " + JsonString(cols[1]) + ", \"protocol\": " + textOrNull(cols[2]) +
               ", \"outcome\": " + JsonString(cols[3]) +
               ", \"time_ms\": " + (cols[4] == "-" ? "null" : std::to_string(r.connectMs + r.handshakeMs)) +
               ", \"anonymity\": " + textOrNull(cols[5]) + ", \"exit\": " + textOrNull(cols[6]);
        for (std::size_t k = kFirstNew; k < cols.size(); ++k)
          line += std::string(", \"") + kColumns[k] + "\": " + (IsNumber(cols[k]) ? cols[k] : textOrNull(cols[k]));
        std::printf("%s}", line.c_str());
        continue;
      }
    }
    std::printf("%s\n", line.c_str());
  }
  if (format == OutputFormat::Json) std::printf("%s]\n", rows.empty() ? "" : "\n");
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
  std::fprintf(stderr, "mivoproxy-cli verify: %s\n", error.c_str());
  return kExitUsage;
}

void Note(const std::string& text) { std::fprintf(stderr, "mivoproxy-cli verify: %s\n", text.c_str()); }

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

  std::vector<verify::Row> rows;
  for (InputRow& in : ReadRows(std::cin))
    rows.push_back({std::move(in.address), std::move(in.port), std::move(in.type), {}, {}});
  for (std::size_t i = 0; i < rows.size(); ++i)
    if (const std::optional<std::string> problem = verify::RowProblem(rows[i]))
      std::fprintf(stderr, "row %zu: %s\n", i + 1, problem->c_str());

  verify::Verifier verifier(std::move(rows), options);
  QEventLoop loop;
  verifier.onFinished = [&loop] { loop.quit(); };
  verifier.Start();
  if (!verifier.Finished()) loop.exec();

  const std::vector<verify::Result>& results = verifier.Results();
  for (std::size_t i = 0; i < results.size(); ++i)
    if (results[i].reason == verify::Reason::NoSocket)
      std::fprintf(stderr, "row %zu: this process could get no socket for it (descriptors or local ports used up)\n",
                   i + 1);
  Print(verifier, Places(o, results), o.format);
  return 0;
}

}  // namespace mivo::cli
