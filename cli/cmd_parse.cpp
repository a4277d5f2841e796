// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "cli/commands.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/print_rows.h"
#include "common/gbk.h"
#include "harvester/page_parser.h"

namespace mivo::cli {

int Parse(const FileOptions& o) {
  std::string error;
  const std::optional<std::string> bytes = ReadWholeFile(o.file, error);
  if (!bytes) return ReportUsageError(Command::Parse, error);
  // The parser would take it for a download that failed.
  if (bytes->empty()) {
    WriteErrLine("mivoproxy-cli parse: " + o.file + " is empty");
    return 1;
  }
  HeadlessMainOps ops;
  EchoPanelsToStderr(ops);
  ops.SetPageText(FromGbk(*bytes));
  ParseSource(ops);
  PrintRows(ops.Rows());
  return ops.PageText().empty() ? 1 : 0;
}

}  // namespace mivo::cli
