// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

// What the command-line program reads: rows on standard input and the
// arguments of every subcommand. Nothing may throw or crash; every error
// comes back with a message.
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "cli/options.h"
#include "cli/row_input.h"
#include "fuzz/fuzz_input.h"

namespace {

// Not run means help or a message saying why.
void Check(const mivo::cli::ArgsOutcome& outcome) {
  if (!outcome.Run() && !outcome.help && outcome.error.empty()) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  mivo::fuzz::Input in(data, size);
  QStringList args;
  for (int n = in.Below(9); n > 0; --n) {
    const std::string a = in.String();
    args << QString::fromUtf8(a.data(), static_cast<qsizetype>(a.size()));
  }

  const mivo::cli::ProgramArgs program = mivo::cli::ParseProgramArgs(args);
  Check(program);
  if (program.Run() && !program.version && program.rest.size() >= args.size()) __builtin_trap();
  Check(mivo::cli::ParseParseArgs(args));
  Check(mivo::cli::ParseFetchArgs(args));
  Check(mivo::cli::ParseCheckArgs(args));
  Check(mivo::cli::ParseTunnelArgs(args));
  Check(mivo::cli::ParseVerifyArgs(args));

  std::istringstream rest(in.Rest());
  for (const mivo::cli::InputRow& row : mivo::cli::ReadRows(rest)) {
    if (row.address.find_first_of("\t\n") != std::string::npos) __builtin_trap();
    if (row.port.find_first_of("\t\n") != std::string::npos) __builtin_trap();
    if (row.type.find_first_of("\t\n") != std::string::npos) __builtin_trap();
  }
  return 0;
}
