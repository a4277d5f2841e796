// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include <QCoreApplication>

#include <string>

#include "cli/commands.h"
#include "cli/output.h"
#include "common/fdlimit.h"

namespace {

using namespace mivo::cli;

template <typename Options>
int Run(Command command, const ParsedArgs<Options>& args, int (*run)(const Options&)) {
  return args.Run() ? run(args.options) : ReportArgs(command, args);
}

int RunProgram(const ProgramArgs& program) {
  if (program.version) {
    WriteOut(std::string("mivoproxy-cli ") + MIVO_VERSION + "\n");
    return 0;
  }
  if (!program.Run()) return ReportProgramArgs(program);
  const QStringList& rest = program.rest;
  switch (program.command) {
    case Command::Parse: return Run(Command::Parse, ParseParseArgs(rest), Parse);
    case Command::Fetch: return Run(Command::Fetch, ParseFetchArgs(rest), Fetch);
    case Command::Check: return Run(Command::Check, ParseCheckArgs(rest), Check);
    case Command::Tunnel: return Run(Command::Tunnel, ParseTunnelArgs(rest), Tunnel);
    case Command::Verify: return Run(Command::Verify, ParseVerifyArgs(rest), Verify);
    case Command::Import: return Run(Command::Import, ParseImportArgs(rest), Import);
  }
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  HoldStandardDescriptors();
  mivo::RaiseOpenFileLimit();
  QCoreApplication app(argc, argv);
  return FinishOutput(RunProgram(ParseProgramArgs(ArgumentList(argc, argv))));
}
