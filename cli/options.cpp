// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "options.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCommandLineParser>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <span>
#include <string_view>
#include <utility>

#include "common/gbk.h"
#include "harvester/http_request.h"
#include "tunnel/moduleproxy.h"
#include "tunnel/tunnel_input.h"

namespace mivo::cli {
namespace {

struct OptionInfo {
  const char* name;
  const char* valueName;
  const char* description;
};

struct CommandInfo {
  Command command;
  const char* name;
  const char* synopsis;     // what follows the name in its usage line
  const char* summary;      // its line in the program's help
  const char* description;  // its own help, before the options
  const char* operand;      // the name of its one operand, or none
  std::span<const OptionInfo> options;
};

constexpr OptionInfo kUserOption{"user", "U", "User name, for a proxy that wants credentials."};
constexpr OptionInfo kPasswordOption{"password", "P", "Password, with --user."};

constexpr OptionInfo kTunnelOptions[] = {
    {"type", "socks4|socks5|http", "The proxy's protocol."},
    {"proxy", "HOST:PORT", "The proxy."},
    {"target", "ADDRESS:PORT", "What the proxy is asked to connect to: a dotted IPv4 address and a port."},
    kUserOption,
    kPasswordOption,
};

constexpr OptionInfo kVerifyOptions[] = {
    {"target", "ADDRESS:PORT",
     "What each proxy is asked to connect to: a dotted IPv4 address and a port. A row passes when the proxy "
     "says the tunnel is open; nothing is sent through it."},
    {"judge", "URL",
     "A proxy judge (http://), asked through each proxy: a row passes when the judge's answer came back "
     "through it, and gets its anonymity and exit address. May be given more than once; rows are spread "
     "over the judges that answer when asked directly."},
    {"url", "URL",
     "A page (http:// or https://) each proxy is asked for: a row passes when a whole answer with a 2xx "
     "status came back through it. https is verified inside the tunnel."},
    {"expect", "TEXT", "With --url: the page's body must also hold TEXT."},
    {"ca-file", "FILE", "With an https --url: trust only the certificates of this PEM file."},
    kUserOption,
    kPasswordOption,
    {"timeout", "SECONDS", "Each row's time as a whole (default 10)."},
    {"concurrency", "N",
     "Rows in flight at most (default 512, and never more than the process has descriptors for): proxies, "
     "judges and routers drop connections that come in bursts of thousands."},
    {"location-db", "FILE",
     "The location database for the country and asn columns (default "
     "/var/lib/location/database.db)."},
    {"format", "text|json|csv", "How the rows are printed (default text)."},
};

const CommandInfo kCommands[] = {
    {Command::Parse,
     "parse",
     "FILE",
     "cut the proxies out of a saved list page and print them",
     "Reads a list page saved in GBK and prints one line per proxy: address, port, type, location and\n"
     "speed, tab-separated. The status texts go to standard error.\n"
     "exit 0; 1: the page is empty; 2: usage, or a file it cannot read",
     "FILE",
     {}},
    {Command::Fetch,
     "fetch",
     "URL",
     "download a list page and print its proxies",
     "Downloads a list page (http or https) as \"获取地址\" does and prints its proxies as parse does.\n"
     "exit 0; 1: nothing came; 2: usage",
     "URL",
     {}},
    {Command::Check,
     "check",
     "< ROWS",
     "test the rows on standard input as \"测试所有\" does",
     "Reads rows from standard input, one a line: 'address port', 'address:port', or a line as fetch\n"
     "prints it. Connects to every row at once and sends each an echo, then prints address, port,\n"
     "mark and echo time per row.\n"
     "exit 0; 1: a row got no outcome; 2: usage",
     nullptr,
     {}},
    {Command::Tunnel, "tunnel",
     "--type socks4|socks5|http --proxy HOST:PORT --target ADDRESS:PORT [--user U --password P]",
     "open a tunnel through a proxy, stage by stage",
     "Connects to the proxy, performs its handshake and asks it for the target, printing each stage.\n"
     "exit 0: tunnel open; 1: the proxy refused or failed the handshake; 2: usage; 3: proxy unreachable",
     nullptr, kTunnelOptions},
    {Command::Verify, "verify",
     "(--target ADDRESS:PORT | --judge URL... | --url URL [--expect TEXT] [--ca-file FILE]) "
     "[--user U --password P] [--timeout SECONDS] [--concurrency N] [--location-db FILE] "
     "[--format text|json|csv] < ROWS",
     "talk through every proxy on standard input",
     "Tries each row read from standard input (rows as check reads them; a third column is the type\n"
     "cell) with its own protocol and then the others, and prints one line per row: address, port,\n"
     "protocol, outcome, handshake time, anonymity, exit address, then the reason a row failed\n"
     "(bad-row refused unreachable connect-timeout proxy-refused auth-required auth-failed bad-reply\n"
     "no-answer bad-status wrong-content tls no-socket), its connect, handshake and answer times in\n"
     "ms, and the exit's country and autonomous system.\n"
     "exit 0: the run completed; 2: usage, no judge that can be used, or a --url host or --ca-file\n"
     "that cannot be used",
     nullptr, kVerifyOptions},
};

const CommandInfo& Info(Command command) {
  return *std::find_if(std::begin(kCommands), std::end(kCommands),
                       [command](const CommandInfo& c) { return c.command == command; });
}

const QCommandLineOption& HelpOption() {
  static const QCommandLineOption help({"h", "help"}, "Shows this help.");
  return help;
}

const QCommandLineOption& VersionOption() {
  static const QCommandLineOption version({"v", "version"}, "Shows the version.");
  return version;
}

std::string Utf8(const QString& text) { return text.toStdString(); }

std::string OptionText(const QString& name) { return (name.size() == 1 ? "-" : "--") + Utf8(name); }

// parse() takes the program's name before the arguments.
bool ParseList(QCommandLineParser& p, const QStringList& args) { return p.parse(QStringList{QString()} + args); }

std::string ParseError(const QCommandLineParser& p, const CommandInfo* info, const QStringList& args) {
  if (const QStringList unknown = p.unknownOptionNames(); !unknown.isEmpty())
    return "unknown argument: " + OptionText(unknown.front());
  // Qt finds a value missing only after the last argument.
  if (info && !args.isEmpty())
    for (const OptionInfo& o : info->options)
      if (args.back() == QLatin1String("--") + QLatin1String(o.name)) return "missing value after " + Utf8(args.back());
  return Utf8(p.errorText());
}

void AddOptions(QCommandLineParser& p, const CommandInfo& info) {
  p.addOption(HelpOption());
  for (const OptionInfo& o : info.options) p.addOption({o.name, o.description, o.valueName});
}

// Reads `args` as `info`'s arguments into `p`. False when the command is not
// to run: `out` then asks for the help or holds the error.
bool ReadArgs(const CommandInfo& info, const QStringList& args, QCommandLineParser& p, ArgsOutcome& out) {
  AddOptions(p, info);
  if (!ParseList(p, args)) {
    out.error = ParseError(p, &info, args);
    return false;
  }
  if (p.isSet(HelpOption())) {
    out.help = true;
    return false;
  }
  const QStringList operands = p.positionalArguments();
  const qsizetype wanted = info.operand ? 1 : 0;
  if (operands.size() > wanted)
    out.error = wanted == 0 ? "unexpected argument: " + Utf8(operands.front()) : "too many arguments";
  else if (operands.size() < wanted)
    out.error = std::string("missing ") + info.operand;
  return out.error.empty();
}

// Every value given for `name`, in order; the last one counts.
QStringList Values(const QCommandLineParser& p, const char* name) { return p.values(QString::fromLatin1(name)); }

// Takes each value of `option` as one of `choices`, the last one counting;
// false, with `error` set, at a value that is none of them.
template <typename T>
bool Pick(const QCommandLineParser& p, const char* option, std::initializer_list<std::pair<const char*, T>> choices,
          T& chosen, const char* refusal, std::string& error) {
  for (const QString& value : Values(p, option)) {
    const auto match = std::find_if(choices.begin(), choices.end(),
                                    [&](const auto& choice) { return value == QLatin1String(choice.first); });
    if (match == choices.end()) {
      error = refusal + Utf8(value);
      return false;
    }
    chosen = match->second;
  }
  return true;
}

bool SplitHostPort(std::string_view text, std::string& host, std::string& port) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0 || colon + 1 == text.size()) return false;
  host = text.substr(0, colon);
  port = text.substr(colon + 1);
  return true;
}

std::string Help(QCommandLineParser& p, const std::string& usage, const std::string& description) {
  p.setApplicationDescription(QString::fromStdString(description));
  const QString qt = p.helpText();
  // Qt's first line names the program as it was started; ours goes instead.
  return usage + Utf8(qt.mid(qt.indexOf('\n')));
}

std::string UsageLine(const CommandInfo& info) {
  return std::string("usage: mivoproxy-cli ") + info.name + " " + info.synopsis + "\n";
}

int Report(const std::string& who, const ArgsOutcome& outcome, const std::string& help, const std::string& usage) {
  if (outcome.help) {
    std::fputs(help.c_str(), stdout);
    return 0;
  }
  std::fprintf(stderr, "%s: %s\n%s", who.c_str(), outcome.error.c_str(), usage.c_str());
  return kExitUsage;
}

}  // namespace

ProgramArgs ParseProgramArgs(const QStringList& args) {
  ProgramArgs r;
  QCommandLineParser p;
  // Everything from the subcommand's name on is the subcommand's.
  p.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
  p.addOption(HelpOption());
  p.addOption(VersionOption());
  if (!ParseList(p, args)) {
    r.error = ParseError(p, nullptr, args);
    return r;
  }
  r.help = p.isSet(HelpOption());
  r.version = !r.help && p.isSet(VersionOption());
  if (r.help || r.version) return r;
  const QStringList words = p.positionalArguments();
  if (words.isEmpty()) {
    r.error = "missing command";
    return r;
  }
  const auto* info = std::find_if(std::begin(kCommands), std::end(kCommands),
                                  [&](const CommandInfo& c) { return words.front() == QLatin1String(c.name); });
  if (info == std::end(kCommands)) {
    r.error = "unknown command: " + Utf8(words.front());
    return r;
  }
  r.command = info->command;
  r.rest = words.mid(1);
  return r;
}

ParsedArgs<FileOptions> ParseParseArgs(const QStringList& args) {
  ParsedArgs<FileOptions> r;
  QCommandLineParser p;
  if (ReadArgs(Info(Command::Parse), args, p, r)) r.options.file = Utf8(p.positionalArguments().front());
  return r;
}

ParsedArgs<FetchOptions> ParseFetchArgs(const QStringList& args) {
  ParsedArgs<FetchOptions> r;
  QCommandLineParser p;
  if (!ReadArgs(Info(Command::Fetch), args, p, r)) return r;
  r.options.url = Utf8(p.positionalArguments().front());
  if (!IsUsablePageAddress(r.options.url)) r.error = "not an http or https address: " + r.options.url;
  return r;
}

ParsedArgs<CheckOptions> ParseCheckArgs(const QStringList& args) {
  ParsedArgs<CheckOptions> r;
  QCommandLineParser p;
  ReadArgs(Info(Command::Check), args, p, r);
  return r;
}

ParsedArgs<TunnelOptions> ParseTunnelArgs(const QStringList& args) {
  ParsedArgs<TunnelOptions> r;
  QCommandLineParser p;
  if (!ReadArgs(Info(Command::Tunnel), args, p, r)) return r;
  TunnelOptions& o = r.options;
  if (p.isSet("type")) {
    ProxyType kind{};
    if (!Pick<ProxyType>(p, "type",
                         {{"socks4", ProxyType::Socks4}, {"socks5", ProxyType::Socks5}, {"http", ProxyType::Http11}},
                         kind, "unknown proxy type: ", r.error))
      return r;
    o.kind = kind;
  }
  for (const char* flag : {"proxy", "target"}) {
    const bool proxy = flag == std::string_view("proxy");
    for (const QString& value : Values(p, flag)) {
      if (!SplitHostPort(Utf8(value), proxy ? o.proxyHost : o.targetHost, proxy ? o.proxyPort : o.targetPort)) {
        r.error = std::string("--") + flag + " wants HOST:PORT, not " + Utf8(value);
        return r;
      }
    }
  }
  o.user = Utf8(p.value("user"));
  o.password = Utf8(p.value("password"));
  o.credentials = p.isSet("user") || p.isSet("password");
  if (!o.kind || !p.isSet("proxy") || !p.isSet("target")) {
    r.error = "--type, --proxy and --target are required";
    return r;
  }
  // What the tunnel window would refuse with a message box, this refuses here.
  Moduleproxy m;
  m.ProxyKind = *o.kind;
  if (std::optional<std::string> problem =
          CheckTunnelInput(m, {o.proxyHost, o.proxyPort, o.user, o.password, o.targetHost, o.targetPort}))
    r.error = *problem;
  return r;
}

ParsedArgs<VerifyArgs> ParseVerifyArgs(const QStringList& args) {
  ParsedArgs<VerifyArgs> r;
  QCommandLineParser p;
  if (!ReadArgs(Info(Command::Verify), args, p, r)) return r;
  VerifyArgs& o = r.options;
  for (const QString& given : Values(p, "target")) {
    const std::string value = Utf8(given);
    std::string host, port;
    const bool split = SplitHostPort(value, host, port);
    const std::optional<std::int32_t> number = split ? PortNumber(port) : std::nullopt;
    if (!split || !IsDottedQuad(host) || !number || *number == 0) {
      r.error = "--target wants a dotted IPv4 address and a port 1 to 65535, such as 127.0.0.1:7007, not " + value;
      return r;
    }
    o.targetHost = host;
    o.targetPort = *number;
  }
  for (const QString& given : Values(p, "judge")) {
    o.judgeTexts.push_back(Utf8(given));
    std::optional<verify::JudgeUrl> judge = verify::ParseJudgeUrl(o.judgeTexts.back(), r.error);
    if (!judge) return r;
    if (judge->https) {
      r.error = "the judge must be an http:// address: " + o.judgeTexts.back();
      return r;
    }
    o.judges.push_back(std::move(*judge));
  }
  for (const QString& given : Values(p, "url")) {
    o.urlText = Utf8(given);
    o.url = verify::ParseJudgeUrl(o.urlText, r.error, "--url");
    if (!o.url) return r;
  }
  for (const QString& given : Values(p, "expect")) o.expect = Utf8(given);
  for (const QString& given : Values(p, "ca-file")) o.caFile = Utf8(given);
  for (const QString& given : Values(p, "location-db")) o.locationDb = Utf8(given);
  for (const QString& given : Values(p, "concurrency")) {
    const std::string value = Utf8(given);
    std::int64_t n = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
    if (ec != std::errc() || end != value.data() + value.size() || n < 1 || n > 1000000) {
      r.error = "--concurrency wants a number of rows from 1 to 1000000, not " + value;
      return r;
    }
    o.concurrency = n;
  }
  for (const char* flag : {"user", "password"}) {
    for (const QString& given : Values(p, flag)) {
      const std::string value = Utf8(given);
      if (GbkLength(value) > 255) {
        r.error = std::string("--") + flag + " is longer than the 255 bytes a SOCKS5 proxy can be sent";
        return r;
      }
      (flag == std::string_view("user") ? o.user : o.password) = value;
      o.credentials = true;
    }
  }
  for (const QString& given : Values(p, "timeout")) {
    const std::string value = Utf8(given);
    double seconds = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), seconds);
    if (ec != std::errc() || end != value.data() + value.size() || !(seconds > 0 && seconds <= 86400)) {
      r.error = "--timeout wants a number of seconds above 0 and up to 86400, not " + value;
      return r;
    }
    o.timeoutMs = std::max<std::int64_t>(1, std::llround(seconds * 1000));
  }
  if (!Pick(p, "format", {{"text", OutputFormat::Text}, {"json", OutputFormat::Json}, {"csv", OutputFormat::Csv}},
            o.format, "--format wants text, json or csv, not ", r.error))
    return r;
  const int checks = int{p.isSet("target")} + int{!o.judges.empty()} + int{o.url.has_value()};
  if (checks == 0)
    r.error = "--target, --judge or --url is required";
  else if (checks > 1)
    r.error = "--target, --judge and --url exclude each other: each names what a row must reach";
  else if (p.isSet("expect") && !o.url)
    r.error = "--expect goes with --url";
  else if (p.isSet("expect") && o.expect.empty())
    r.error = "--expect wants a text that is not empty";
  else if (p.isSet("ca-file") && !(o.url && o.url->https))
    r.error = "--ca-file goes with an https:// --url";
  return r;
}

std::string ProgramHelp() {
  QCommandLineParser p;
  p.addOption(HelpOption());
  p.addOption(VersionOption());
  std::string description =
      "The harvester's work without the window. 'mivoproxy-cli COMMAND --help' shows a command's own help.\n\n"
      "Commands:";
  const auto named = [](const CommandInfo& c) { return c.operand ? std::string(c.name) + " " + c.operand : c.name; };
  std::size_t width = 0;
  for (const CommandInfo& c : kCommands) width = std::max(width, named(c).size());
  for (const CommandInfo& c : kCommands) {
    std::string name = named(c);
    name.resize(width + 2, ' ');
    description += "\n  " + name + c.summary;
  }
  return Help(p, "usage: mivoproxy-cli COMMAND [ARGUMENTS]\n", description);
}

std::string CommandHelp(Command command) {
  QCommandLineParser p;
  AddOptions(p, Info(command));
  return Help(p, UsageLine(Info(command)), Info(command).description);
}

int ReportProgramArgs(const ArgsOutcome& outcome) {
  const std::string help = ProgramHelp();
  return Report("mivoproxy-cli", outcome, help, help);
}

int ReportArgs(Command command, const ArgsOutcome& outcome) {
  const CommandInfo& info = Info(command);
  return Report(std::string("mivoproxy-cli ") + info.name, outcome, CommandHelp(command),
                UsageLine(info) + "('mivoproxy-cli " + info.name + " --help' says more)\n");
}

int ReportUsageError(Command command, const std::string& error) {
  ArgsOutcome outcome;
  outcome.error = error;
  return ReportArgs(command, outcome);
}

std::optional<std::string> ReadWholeFile(const std::string& path, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const int err = fd < 0 ? errno : (S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    if (fd >= 0) ::close(fd);
    error = "cannot read " + path + ": " + (err == EINVAL ? "not a regular file" : std::strerror(err));
    return std::nullopt;
  }
  std::string bytes;
  bytes.reserve(static_cast<std::size_t>(st.st_size));
  char buf[65536];
  bool failed = false;
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      bytes.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      failed = true;
      error = "cannot read " + path + ": " + std::strerror(errno);
    }
    break;
  }
  ::close(fd);
  if (failed) return std::nullopt;
  return bytes;
}

}  // namespace mivo::cli
