// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include <QEventLoop>
#include <QHostInfo>
#include <QString>
#include <QTimer>

#include <unistd.h>

#include <chrono>
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
#include "verify/judge_ask.h"
#include "verify/verifier.h"

namespace mivo::cli {
namespace {

constexpr Column kColumns[] = {{"address", "address"}, {"port", "port"},    {"protocol", "protocol"},
                               {"outcome", "outcome"}, {"time", "time_ms"}, {"anonymity", "anonymity"},
                               {"exit", "exit"}};

// The seven cells of a row, missing where there is nothing to say.
std::vector<Cell> Columns(const verify::Row& row, const verify::Result& r) {
  const auto textOrMissing = [](std::string text) { return text == "-" ? Cell::Missing() : Cell(std::move(text)); };
  return {row.address,
          row.port,
          textOrMissing(verify::ProtocolText(r.protocol)),
          r.Ok() ? kMarkSuccess : kMarkFailure,
          r.handshakeMs >= 0 && r.Ok() ? Cell::Number(r.handshakeMs, std::to_string(r.handshakeMs) + " ms")
                                       : Cell::Missing(),
          textOrMissing(verify::AnonymityText(r.anonymity)),
          r.exitAddress.empty() ? Cell::Missing() : Cell(r.exitAddress)};
}

void Print(const verify::Verifier& v, OutputFormat format) {
  RowWriter writer(format, kColumns);
  for (std::size_t i = 0; i < v.Rows().size(); ++i) writer.Write(Columns(v.Rows()[i], v.Results()[i]));
  writer.Finish();
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
  WriteErrLine("mivoproxy-cli verify: " + error);
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
  for (std::size_t i = 0; i < results.size(); ++i) {
    const verify::Result& r = results[i];
    if (r.ending == verify::Ending::NoSocket)
      WriteErrLine("row " + std::to_string(i + 1) +
                   ": this process could get no socket for it (descriptors or local ports used up)");
    else if (r.Ok() && options.judge && r.anonymity == verify::Anonymity::Unknown)
      WriteErrLine("row " + std::to_string(i + 1) +
                   ": the tunnel opened, but the judge gave no usable answer through it in time");
  }
  Print(verifier, o.format);
  return 0;
}

}  // namespace mivo::cli
