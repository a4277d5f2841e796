// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

// What the command-line program reads and prints: the arguments of every
// subcommand as the system gives them, rows on standard input, and each
// cell as every format writes it. Nothing may throw or crash; every error
// comes back with a message; no output lets a control character through.
#include <QString>
#include <QStringDecoder>
#include <QStringList>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "cli/options.h"
#include "cli/output.h"
#include "cli/row_input.h"
#include "fuzz/fuzz_input.h"
#include "tunnel/tunnel_input.h"

namespace {

// Not run means help or a message saying why.
void Check(const mivo::cli::ArgsOutcome& outcome) {
  if (!outcome.Run() && !outcome.help && outcome.error.empty()) __builtin_trap();
}

// UTF-8 that a strict decoder keeps as it is, without any control character:
// nothing a terminal would run, no tab to be taken for the separator.
void CheckShown(const std::string& out) {
  QStringDecoder strict(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
  const QString decoded = strict(QByteArrayView(out.data(), static_cast<qsizetype>(out.size())));
  if (strict.hasError()) __builtin_trap();
  for (std::size_t i = 0; i < out.size(); ++i) {
    const auto c = static_cast<unsigned char>(out[i]);
    if (c < 0x20 || c == 0x7F) __builtin_trap();
    if (c == 0xC2 && i + 1 < out.size() && static_cast<unsigned char>(out[i + 1]) <= 0x9F) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  mivo::fuzz::Input in(data, size);
  QStringList args;
  for (int n = in.Below(9); n > 0; --n) {
    const std::string a = in.String();
    args << mivo::cli::ArgText(a);
    // The bytes come back as they were given, for file names in any encoding.
    if (mivo::cli::ArgBytes(args.back()) != a) __builtin_trap();
  }

  const mivo::cli::ProgramArgs program = mivo::cli::ParseProgramArgs(args);
  Check(program);
  if (program.Run() && !program.version && program.rest.size() >= args.size()) __builtin_trap();
  Check(mivo::cli::ParseParseArgs(args));
  Check(mivo::cli::ParseFetchArgs(args));
  Check(mivo::cli::ParseCheckArgs(args));
  const auto tunnel = mivo::cli::ParseTunnelArgs(args);
  Check(tunnel);
  if (tunnel.Run() && tunnel.options.timeoutMs && *tunnel.options.timeoutMs <= 0) __builtin_trap();
  const auto verify = mivo::cli::ParseVerifyArgs(args);
  Check(verify);
  if (verify.Run() && verify.options.user.empty() != verify.options.password.empty()) __builtin_trap();

  // A small line limit reaches overlong lines within the fuzzer's input size.
  const std::uint8_t limit = in.Byte();
  const std::size_t maxLine = limit == 0 ? mivo::cli::kMaxLineBytes : limit * std::size_t{8};
  const std::size_t chunk = 1 + static_cast<std::size_t>(in.Byte());
  const std::string text = in.Rest();
  const mivo::cli::RowsRead read = mivo::cli::ReadRowsFromText(text, maxLine);
  if (!read.error.empty()) __builtin_trap();
  // The same rows however the input arrives in pieces.
  std::string_view left = text;
  const mivo::cli::RowsRead pieces = mivo::cli::ReadRows(
      [&left, chunk](char* buffer, std::size_t size) {
        const std::size_t n = std::min({size, chunk, left.size()});
        std::copy_n(left.data(), n, buffer);
        left.remove_prefix(n);
        return static_cast<long>(n);
      },
      maxLine);
  if (pieces.rows.size() != read.rows.size()) __builtin_trap();
  for (std::size_t i = 0; i < read.rows.size(); ++i)
    if (pieces.rows[i].address != read.rows[i].address || pieces.rows[i].port != read.rows[i].port ||
        pieces.rows[i].type != read.rows[i].type || pieces.rows[i].problem != read.rows[i].problem)
      __builtin_trap();
  for (const mivo::cli::InputRow& row : read.rows) {
    for (const std::string* cell : {&row.address, &row.port, &row.type}) {
      // A line that is no row shows its start as it came, tabs and all.
      if (row.problem.empty() && cell->find_first_of("\t\n") != std::string::npos) __builtin_trap();
      CheckShown(mivo::cli::TextCell(*cell));
      const std::string csv = mivo::cli::CsvCell(*cell);
      CheckShown(csv);
      // A spreadsheet runs none of them: a sign leads only a number or stands alone.
      if (!csv.empty() && (csv[0] == '=' || csv[0] == '@')) __builtin_trap();
      if (!csv.empty() && (csv[0] == '+' || csv[0] == '-') &&
          csv.find_first_not_of("0123456789.", 1) != std::string::npos)
        __builtin_trap();
      const std::string json = mivo::cli::JsonString(*cell);
      CheckShown(json);
      if (json.size() < 2 || json.front() != '"' || json.back() != '"') __builtin_trap();
    }
    // A line over the limit keeps only its start, which no verification takes for an address.
    if (!row.problem.empty() && (row.address.size() > 4 * 80 + 3 || mivo::IsDottedQuad(row.address))) __builtin_trap();
  }
  return 0;
}
