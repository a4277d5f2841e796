// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <QStringList>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tunnel/moduleproxy.h"
#include "verify/judge.h"
#include "verify/verifier.h"

// The command line of mivoproxy-cli, read with QCommandLineParser. Each
// reading is a pure function of the arguments, so that the fuzzer drives
// every subcommand's; only the Report functions print.
namespace mivo::cli {

// Exit code of every usage error: an unknown or missing argument, or one the
// command cannot use. The message goes to standard error with the usage.
inline constexpr int kExitUsage = 2;
// Exit code of every command whose standard output could not be written.
inline constexpr int kExitWriteError = 4;

// The program's arguments as the system gives them: bytes that are not
// UTF-8 are kept as U+DC80..U+DCFF, so that ArgBytes gives them back and a
// file name in another encoding can still be opened.
QStringList ArgumentList(int argc, const char* const* argv);
QString ArgText(std::string_view bytes);
std::string ArgBytes(const QString& arg);

// The subcommands, in the order the program's help lists them.
enum class Command { Parse, Fetch, Check, Tunnel, Verify, Import };

// What the arguments come to: run, show the help, or a usage error.
struct ArgsOutcome {
  bool help = false;  // --help: the usage goes to standard output, exit 0
  std::string error;  // what is wrong with the arguments
  bool Run() const { return !help && error.empty(); }
};

template <typename Options>
struct ParsedArgs : ArgsOutcome {
  Options options;  // when Run()
};

// The program's own arguments (all after its name): the subcommand and the
// arguments after its name, or --help, or --version.
struct ProgramArgs : ArgsOutcome {
  bool version = false;
  Command command = Command::Parse;
  QStringList rest;
};
ProgramArgs ParseProgramArgs(const QStringList& args);

// The arguments after each subcommand's name.
struct FileOptions {
  std::string file;  // as the system names it
};
ParsedArgs<FileOptions> ParseParseArgs(const QStringList& args);

struct FetchOptions {
  std::string url;
};
ParsedArgs<FetchOptions> ParseFetchArgs(const QStringList& args);

struct CheckOptions {};
ParsedArgs<CheckOptions> ParseCheckArgs(const QStringList& args);

struct TunnelOptions {
  std::optional<ProxyType> kind;
  std::string proxyHost, proxyPort, targetHost, targetPort, user, password;
  bool credentials = false;
  std::optional<std::int64_t> timeoutMs;  // --timeout: each stage's limit
};
ParsedArgs<TunnelOptions> ParseTunnelArgs(const QStringList& args);

enum class OutputFormat { Text, Json, Csv };

struct VerifyArgs {
  // --target: the tunnel opening is the pass.
  std::string targetHost;
  std::int32_t targetPort = 0;
  // --judge, as often as given, each with its text as given.
  std::vector<verify::JudgeUrl> judges;
  std::vector<std::string> judgeTexts;
  // --url, with --expect.
  std::optional<verify::JudgeUrl> url;
  std::string urlText;
  std::string expect;
  std::string caFile;  // empty: the system's trust store
  bool credentials = false;
  std::string user, password;
  std::int64_t timeoutMs = 10000;
  std::int64_t concurrency = static_cast<std::int64_t>(verify::kDefaultConcurrency);
  std::string locationDb;  // empty: the one Debian installs
  OutputFormat format = OutputFormat::Text;
};
ParsedArgs<VerifyArgs> ParseVerifyArgs(const QStringList& args);

enum class ImportFormat { Rows, Urls, Json };

struct ImportOptions {
  bool publicOnly = false;
  ImportFormat format = ImportFormat::Rows;
  std::vector<std::string> sources;  // files, http(s) addresses, "-"
};
ParsedArgs<ImportOptions> ParseImportArgs(const QStringList& args);

// The help of the program, or of one subcommand: its usage line, what it
// does, its exit codes and its options.
std::string ProgramHelp();
std::string CommandHelp(Command command);

// Prints the help (standard output, returns 0) or the usage error with the
// usage (standard error, returns kExitUsage) that `outcome` asks for.
int ReportProgramArgs(const ArgsOutcome& outcome);
int ReportArgs(Command command, const ArgsOutcome& outcome);
// A usage error found after the arguments were read, such as a file that
// cannot be read: the message and the usage on standard error.
int ReportUsageError(Command command, const std::string& error);

// The whole content of a regular file; `error` says why it cannot be had.
// Anything else (a folder, a FIFO, a device) is refused before it is opened.
std::optional<std::string> ReadWholeFile(const std::string& path, std::string& error);

}  // namespace mivo::cli
