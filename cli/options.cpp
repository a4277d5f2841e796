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

#include "cli/output.h"
#include "common/gbk.h"
#include "common/text.h"
#include "harvester/http_request.h"
#include "import/importer.h"
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
  bool operands = false;  // one or more of `operand`
};

constexpr OptionInfo kUserOption{"user", "U", "User name, for a proxy that wants credentials; with --password."};
constexpr OptionInfo kPasswordOption{"password", "P", "Password, with --user. Neither may be empty."};

constexpr OptionInfo kTunnelOptions[] = {
    {"type", "socks4|socks5|http", "The proxy's protocol, in any case."},
    {"proxy", "HOST:PORT",
     "The proxy (an IPv4 address or a host name, and its port), or its URL: scheme://[user:password@]host:port."},
    {"target", "ADDRESS:PORT", "What the proxy is asked to connect to: a dotted IPv4 address and a port."},
    kUserOption,
    kPasswordOption,
    {"timeout", "SECONDS",
     "The longest wait for the connect and for the handshake, each (default 21 for the connect, which\n"
     "is also its most, and 30 for the handshake)."},
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

constexpr OptionInfo kImportOptions[] = {
    {"public-only", nullptr, "Also drop private, loopback, link-local, shared and documentation addresses."},
    {"format", "rows|urls|json", "How the rows are printed (default rows)."},
};

const CommandInfo kCommands[] = {
    {Command::Parse,
     "parse",
     "FILE",
     "cut the proxies out of a saved list page and print them",
     "Reads a list page saved in GBK and prints one line per proxy: address, port, type, location and\n"
     "speed, tab-separated. The status texts go to standard error.\n"
     "exit 0; 1: the page is empty; 2: usage, or a file it cannot read (only regular files are read);\n"
     "4: standard output could not be written",
     "FILE",
     {}},
    {Command::Fetch,
     "fetch",
     "URL",
     "download a list page and print its proxies",
     "Downloads a list page (http or https) as \"获取地址\" does and prints its proxies as parse does.\n"
     "exit 0; 1: nothing came; 2: usage; 4: standard output could not be written",
     "URL",
     {}},
    {Command::Check,
     "check",
     "< ROWS",
     "test the rows on standard input as \"测试所有\" does",
     "Reads rows from standard input, one a line: 'address port', 'address:port', or a line as fetch\n"
     "prints it. Connects to every row at once and sends each an echo, then prints address, port,\n"
     "mark and echo time per row. A byte-order mark before the first line is skipped; a line longer\n"
     "than 64 KiB is a failed row, with the reason on standard error.\n"
     "exit 0; 1: a row got no outcome; 2: usage, or standard input cannot be read;\n"
     "4: standard output could not be written",
     nullptr,
     {}},
    {Command::Tunnel, "tunnel",
     "--type socks4|socks5|http --proxy HOST:PORT --target ADDRESS:PORT [--user U --password P]\n"
     "    [--timeout SECONDS]",
     "open a tunnel through a proxy, stage by stage",
     "Connects to the proxy, performs its handshake and asks it for the target, printing each stage.\n"
     "exit 0: tunnel open; 1: the proxy refused or failed the handshake; 2: usage; 3: proxy unreachable;\n"
     "4: standard output could not be written",
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
     "ms, and the exit's country and autonomous system. Standard input is read as check reads it (a\n"
     "byte-order mark skipped, a line longer than 64 KiB a failed row).\n"
     "exit 0: the run completed; 2: usage, no judge that can be used, a --url host or --ca-file that\n"
     "cannot be used, or standard input cannot be read; 4: standard output could not be written",
     nullptr, kVerifyOptions},
    {Command::Import, "import", "[--public-only] [--format rows|urls|json] SOURCE...",
     "read proxy lists of any common format and print their proxies",
     "Reads every SOURCE (a file, an http:// or https:// address, or - for standard input) at once and\n"
     "prints each proxy once. It takes host:port, host port, proxy URLs (http, https, socks4, socks4a,\n"
     "socks5, socks5h) with or without user:password@, user:pass@host:port and host:port:user:pass\n"
     "anywhere in text or HTML, JSON objects with ip/host/address/addr/proxy and port, and CSV with such\n"
     "a header; UTF-8, UTF-16 with a byte order mark, or GBK. IPv6 entries are counted and skipped.\n"
     "rows are what fetch prints plus user and password, so that check and verify read them; urls one\n"
     "scheme://[user:password@]host:port a line (http for a proxy of unknown protocol); json an array.\n"
     "Each source's counts go to standard error.\n"
     "exit 0: a source was read; 1: none could be; 2: usage; 4: standard output could not be written",
     "SOURCE", kImportOptions, true},
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
  for (const OptionInfo& o : info.options)
    p.addOption(o.valueName ? QCommandLineOption(o.name, o.description, o.valueName)
                            : QCommandLineOption(o.name, o.description));
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
  if (operands.size() > wanted && !info.operands)
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
          T& chosen, const char* refusal, std::string& error, Qt::CaseSensitivity cs = Qt::CaseSensitive) {
  for (const QString& value : Values(p, option)) {
    const auto match = std::find_if(choices.begin(), choices.end(), [&](const auto& choice) {
      return value.compare(QLatin1String(choice.first), cs) == 0;
    });
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

// --user and --password: both or neither, and neither empty (a SOCKS5
// proxy is sent each as 1 to 255 bytes).
bool CredentialsPaired(const QCommandLineParser& p, std::string& error) {
  const bool user = p.isSet("user");
  const bool password = p.isSet("password");
  if (user != password) {
    error = user ? "--user wants --password too" : "--password wants --user too";
    return false;
  }
  if (user && (p.value("user").isEmpty() || p.value("password").isEmpty())) {
    error = "--user and --password may not be empty";
    return false;
  }
  return true;
}

// --timeout in seconds, above 0 and up to a day; `ms` is left as it is without one.
bool TimeoutMs(const QCommandLineParser& p, std::int64_t& ms, std::string& error) {
  for (const QString& given : Values(p, "timeout")) {
    const std::string value = Utf8(given);
    double seconds = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), seconds);
    if (ec != std::errc() || end != value.data() + value.size() || !(seconds > 0 && seconds <= 86400)) {
      error = "--timeout wants a number of seconds above 0 and up to 86400, not " + value;
      return false;
    }
    ms = std::max<std::int64_t>(1, std::llround(seconds * 1000));
  }
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
    WriteOut(help);
    return 0;
  }
  WriteErrLine(who + ": " + outcome.error);
  std::fputs(usage.c_str(), stderr);
  return kExitUsage;
}

}  // namespace

QStringList ArgumentList(int argc, const char* const* argv) {
  QStringList args;
  for (int i = 1; i < argc; ++i) args << ArgText(argv[i]);
  return args;
}

QString ArgText(std::string_view bytes) {
  QString text;
  for (std::size_t i = 0; i < bytes.size();) {
    const Utf8Char c = Utf8At(bytes, i);
    if (c.length == 0) {
      text += QChar(static_cast<char16_t>(0xDC00 + static_cast<unsigned char>(bytes[i])));
      ++i;
      continue;
    }
    // Not through fromUtf8, which drops a byte-order mark at the start.
    if (c.code < 0x10000) {
      text += QChar(static_cast<char16_t>(c.code));
    } else {
      text += QChar(QChar::highSurrogate(c.code));
      text += QChar(QChar::lowSurrogate(c.code));
    }
    i += c.length;
  }
  return text;
}

std::string ArgBytes(const QString& arg) {
  std::string bytes;
  for (qsizetype i = 0; i < arg.size(); ++i) {
    const char16_t u = arg[i].unicode();
    if (QChar::isHighSurrogate(u) && i + 1 < arg.size() && arg[i + 1].isLowSurrogate()) {
      bytes += arg.mid(i, 2).toStdString();
      ++i;
    } else if (u >= 0xDC80 && u <= 0xDCFF) {
      bytes += static_cast<char>(u - 0xDC00);
    } else {
      bytes += QString(QChar(u)).toStdString();
    }
  }
  return bytes;
}

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
  if (ReadArgs(Info(Command::Parse), args, p, r)) r.options.file = ArgBytes(p.positionalArguments().front());
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
                         kind, "unknown proxy type: ", r.error, Qt::CaseInsensitive))
      return r;
    o.kind = kind;
  }
  std::optional<importer::Proxy> proxyUrl;
  for (const char* flag : {"proxy", "target"}) {
    const bool proxy = flag == std::string_view("proxy");
    for (const QString& value : Values(p, flag)) {
      // A proxy URL: its scheme and credentials stand in for --type, --user and --password.
      if (proxy && value.contains(QLatin1String("://"))) {
        proxyUrl = importer::FirstProxy(Utf8(value));
        if (proxyUrl) {
          o.proxyHost = importer::DottedQuad(proxyUrl->address);
          o.proxyPort = std::to_string(proxyUrl->port);
          continue;
        }
      }
      if (!SplitHostPort(Utf8(value), proxy ? o.proxyHost : o.targetHost, proxy ? o.proxyPort : o.targetPort)) {
        r.error = std::string("--") + flag + " wants HOST:PORT, not " + Utf8(value);
        return r;
      }
    }
  }
  // The sockets layer speaks IPv4 only; such a proxy would look unreachable.
  if (o.proxyHost.starts_with('[') || o.proxyHost.find(':') != std::string::npos) {
    r.error = "--proxy wants an IPv4 address or a host name; an IPv6 address cannot be used: " + o.proxyHost;
    return r;
  }
  if (!CredentialsPaired(p, r.error)) return r;
  if (p.isSet("timeout")) {
    std::int64_t ms = 0;
    if (!TimeoutMs(p, ms, r.error)) return r;
    o.timeoutMs = ms;
  }
  o.user = Utf8(p.value("user"));
  o.password = Utf8(p.value("password"));
  o.credentials = p.isSet("user") || p.isSet("password");
  if (proxyUrl && proxyUrl->credentials && !o.credentials) {
    o.user = proxyUrl->user;
    o.password = proxyUrl->password;
    o.credentials = true;
  }
  if (proxyUrl && !o.kind) {
    switch (proxyUrl->scheme) {
      case importer::Scheme::None: break;
      case importer::Scheme::Http:
      case importer::Scheme::Https: o.kind = ProxyType::Http11; break;
      case importer::Scheme::Socks4:
      case importer::Scheme::Socks4a: o.kind = ProxyType::Socks4; break;
      case importer::Scheme::Socks5:
      case importer::Scheme::Socks5h: o.kind = ProxyType::Socks5; break;
    }
  }
  if (!o.kind || !p.isSet("proxy") || !p.isSet("target")) {
    r.error = "--type (or a proxy URL), --proxy and --target are required";
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
  if (!CredentialsPaired(p, r.error) || !TimeoutMs(p, o.timeoutMs, r.error)) return r;
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

ParsedArgs<ImportOptions> ParseImportArgs(const QStringList& args) {
  ParsedArgs<ImportOptions> r;
  QCommandLineParser p;
  if (!ReadArgs(Info(Command::Import), args, p, r)) return r;
  ImportOptions& o = r.options;
  o.publicOnly = p.isSet("public-only");
  if (!Pick(p, "format", {{"rows", ImportFormat::Rows}, {"urls", ImportFormat::Urls}, {"json", ImportFormat::Json}},
            o.format, "--format wants rows, urls or json, not ", r.error))
    return r;
  for (const QString& source : p.positionalArguments()) {
    o.sources.push_back(Utf8(source));
    const std::string& s = o.sources.back();
    if (s.find("://") != std::string::npos && !IsUsablePageAddress(s)) {
      r.error = "not a file, an http or https address, or -: " + s;
      return r;
    }
  }
  return r;
}

std::string ProgramHelp() {
  QCommandLineParser p;
  p.addOption(HelpOption());
  p.addOption(VersionOption());
  std::string description =
      "The harvester's work without the window. 'mivoproxy-cli COMMAND --help' shows a command's own help.\n\n"
      "Commands:";
  const auto named = [](const CommandInfo& c) {
    return c.operand ? std::string(c.name) + " " + c.operand + (c.operands ? "..." : "") : c.name;
  };
  std::size_t width = 0;
  for (const CommandInfo& c : kCommands) width = std::max(width, named(c).size());
  for (const CommandInfo& c : kCommands) {
    std::string name = named(c);
    name.resize(width + 2, ' ');
    description += "\n  " + name + c.summary;
  }
  description +=
      "\n\nOutput is UTF-8: a byte that is not UTF-8 becomes U+FFFD. Control characters in cells are shown\n"
      "escaped (\\t, \\x1b, \\\\ for a backslash); a CSV cell that would start a formula gets a leading '.\n"
      "When standard output cannot be written (a full disk), a command says so and exits 4.";
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
  // Opening a FIFO without a writer would wait for ever: look first. The
  // open does not wait either, should the file be swapped in between.
  struct stat st {};
  if (path.find('\0') != std::string::npos) {
    error = "cannot read " + path + ": the name holds a NUL byte";
    return std::nullopt;
  }
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    error = "cannot read " + path + ": " + (S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "not a regular file");
    return std::nullopt;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
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
