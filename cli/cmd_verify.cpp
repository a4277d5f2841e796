// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include <QEventLoop>
#include <QHostInfo>
#include <QString>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/options.h"
#include "cli/row_input.h"
#include "harvester/connection_tester.h"
#include "tunnel/tunnel_input.h"
#include "verify/judge_ask.h"
#include "verify/verifier.h"

namespace mivo::cli {
namespace {

constexpr const char* kColumns[] = {"address", "port", "protocol", "outcome", "time", "anonymity", "exit"};

// The seven columns of a row, "-" where there is nothing to say.
std::vector<std::string> Columns(const verify::Row& row, const verify::Result& r) {
  return {row.address,
          row.port,
          verify::ProtocolText(r.protocol),
          r.Ok() ? kMarkSuccess : kMarkFailure,
          r.handshakeMs >= 0 && r.Ok() ? std::to_string(r.handshakeMs) + " ms" : "-",
          verify::AnonymityText(r.anonymity),
          r.exitAddress.empty() ? "-" : r.exitAddress};
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

void Print(const verify::Verifier& v, OutputFormat format) {
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
    const std::vector<std::string> cols = Columns(rows[i], r);
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
        // Numbers and nulls where the text has "N ms" and "-".
        auto textOrNull = [](const std::string& s) { return s == "-" ? std::string("null") : JsonString(s); };
        line = std::string(i == 0 ? "\n" : ",\n") + "  {\"address\": " + JsonString(cols[0]) +
               ", \"port\": " + JsonString(cols[1]) + ", \"protocol\": " + textOrNull(cols[2]) +
               ", \"outcome\": " + JsonString(cols[3]) +
               ", \"time_ms\": " + (cols[4] == "-" ? "null" : std::to_string(r.handshakeMs)) +
               ", \"anonymity\": " + textOrNull(cols[5]) + ", \"exit\": " + textOrNull(cols[6]) + "}";
        std::printf("%s", line.c_str());
        continue;
      }
    }
    std::printf("%s\n", line.c_str());
  }
  if (format == OutputFormat::Json) std::printf("%s]\n", rows.empty() ? "" : "\n");
}

// The judge's address for the tunnels: its host, looked up once when it is a name.
std::optional<std::string> JudgeAddress(const std::string& host, std::string& error) {
  if (IsDottedQuad(host)) return host;
  const QHostInfo info = QHostInfo::fromName(QString::fromStdString(host));
  for (const QHostAddress& a : info.addresses())
    if (a.protocol() == QAbstractSocket::IPv4Protocol) return a.toString().toStdString();
  error = "cannot find an IPv4 address for the judge's host " + host +
          (info.error() != QHostInfo::NoError ? ": " + info.errorString().toStdString() : std::string());
  return std::nullopt;
}

// A judge that cannot serve: the arguments were fine, the judge is not.
int JudgeError(const std::string& error) {
  std::fprintf(stderr, "mivoproxy-cli verify: %s\n", error.c_str());
  return kExitUsage;
}

}  // namespace

int Verify(const VerifyArgs& o) {
  std::string error;
  verify::Options options;
  options.timeout = std::chrono::milliseconds(o.timeoutMs);
  options.credentials = o.credentials;
  options.user = o.user;
  options.password = o.password;
  options.targetHost = o.targetHost;
  options.targetPort = o.targetPort;
  if (o.judge) {
    const std::optional<std::string> address = JudgeAddress(o.judge->host, error);
    if (!address) return JudgeError(error);
    // How the judge sees this machine without a proxy: the address a proxy must not pass on.
    verify::DirectJudgeAsk ask(*address, *o.judge);
    QEventLoop loop;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    ask.onDone = [&loop] { loop.quit(); };
    ask.Start();
    guard.start(static_cast<int>(std::min<std::int64_t>(o.timeoutMs, 86400 * 1000)));
    if (!ask.Done()) loop.exec();
    if (!ask.Done()) return JudgeError("the judge " + o.judgeText + " did not answer in time");
    if (ask.OwnAddress().empty()) return JudgeError("the judge " + o.judgeText + " cannot be used: " + ask.Error());
    options.judge = o.judge;
    options.ownAddress = ask.OwnAddress();
    options.targetHost = *address;
    options.targetPort = o.judge->port;
  }

  std::vector<verify::Row> rows;
  for (InputRow& in : ReadRows(std::cin))
    rows.push_back(
        {std::move(in.address), std::move(in.port), std::move(in.type), std::move(in.user), std::move(in.password)});
  for (std::size_t i = 0; i < rows.size(); ++i)
    if (const std::optional<std::string> problem = verify::RowProblem(rows[i]))
      std::fprintf(stderr, "row %zu: %s\n", i + 1, problem->c_str());

  verify::Verifier verifier(std::move(rows), options);
  QEventLoop loop;
  verifier.onFinished = [&loop] { loop.quit(); };
  verifier.Start();
  if (!verifier.Finished()) loop.exec();

  const std::vector<verify::Result>& results = verifier.Results();
  for (std::size_t i = 0; i < results.size(); ++i) {
    const verify::Result& r = results[i];
    if (r.ending == verify::Ending::NoSocket)
      std::fprintf(stderr, "row %zu: this process could get no socket for it (descriptors or local ports used up)\n",
                   i + 1);
    else if (r.Ok() && options.judge && r.anonymity == verify::Anonymity::Unknown)
      std::fprintf(stderr, "row %zu: the tunnel opened, but the judge gave no usable answer through it in time\n",
                   i + 1);
  }
  Print(verifier, o.format);
  return 0;
}

}  // namespace mivo::cli
