#include "options.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>

#include "common/gbk.h"
#include "tunnel/moduleproxy.h"
#include "tunnel/tunnel_input.h"

namespace mivo::cli {
namespace {

bool SplitHostPort(std::string_view text, std::string& host, std::string& port) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0 || colon + 1 == text.size()) return false;
  host = text.substr(0, colon);
  port = text.substr(colon + 1);
  return true;
}

}  // namespace

std::optional<TunnelOptions> ParseTunnelArgs(int argc, const char* const* argv, std::string& error) {
  TunnelOptions o;
  bool haveProxy = false, haveTarget = false;
  for (int i = 0; i < argc; i += 2) {
    const std::string_view flag = argv[i];
    if (i + 1 >= argc) {
      error = "missing value after " + std::string(flag);
      return std::nullopt;
    }
    const std::string_view value = argv[i + 1];
    if (flag == "--type") {
      if (value == "socks4") o.kind = ProxyType::Socks4;
      else if (value == "socks5") o.kind = ProxyType::Socks5;
      else if (value == "http") o.kind = ProxyType::Http11;
      else {
        error = "unknown proxy type: " + std::string(value);
        return std::nullopt;
      }
    } else if (flag == "--proxy" || flag == "--target") {
      const bool proxy = flag == "--proxy";
      if (!SplitHostPort(value, proxy ? o.proxyHost : o.targetHost, proxy ? o.proxyPort : o.targetPort)) {
        error = std::string(flag) + " wants HOST:PORT, not " + std::string(value);
        return std::nullopt;
      }
      (proxy ? haveProxy : haveTarget) = true;
    } else if (flag == "--user" || flag == "--password") {
      (flag == "--user" ? o.user : o.password) = value;
      o.credentials = true;
    } else {
      error = "unknown argument: " + std::string(flag);
      return std::nullopt;
    }
  }
  if (!o.kind || !haveProxy || !haveTarget) {
    error = "--type, --proxy and --target are required";
    return std::nullopt;
  }
  // What the tunnel window would refuse with a message box, this refuses here.
  Moduleproxy m;
  m.ProxyKind = *o.kind;
  if (std::optional<std::string> problem =
          CheckTunnelInput(m, {o.proxyHost, o.proxyPort, o.user, o.password, o.targetHost, o.targetPort})) {
    error = *problem;
    return std::nullopt;
  }
  return o;
}

std::optional<VerifyArgs> ParseVerifyArgs(int argc, const char* const* argv, std::string& error) {
  VerifyArgs o;
  bool haveTarget = false;
  for (int i = 0; i < argc; i += 2) {
    const std::string_view flag = argv[i];
    if (i + 1 >= argc) {
      error = "missing value after " + std::string(flag);
      return std::nullopt;
    }
    const std::string_view value = argv[i + 1];
    if (flag == "--target") {
      std::string host, port;
      const bool split = SplitHostPort(value, host, port);
      const std::optional<std::int32_t> number = split ? PortNumber(port) : std::nullopt;
      if (!split || !IsDottedQuad(host) || !number || *number == 0) {
        error = "--target wants a dotted IPv4 address and a port 1 to 65535, such as 127.0.0.1:7007, not " +
                std::string(value);
        return std::nullopt;
      }
      o.targetHost = host;
      o.targetPort = *number;
      haveTarget = true;
    } else if (flag == "--judge") {
      o.judge = verify::ParseJudgeUrl(value, error);
      if (!o.judge) return std::nullopt;
      o.judgeText = value;
    } else if (flag == "--user" || flag == "--password") {
      if (GbkLength(value) > 255) {
        error = std::string(flag) + " is longer than the 255 bytes a SOCKS5 proxy can be sent";
        return std::nullopt;
      }
      (flag == "--user" ? o.user : o.password) = value;
      o.credentials = true;
    } else if (flag == "--timeout") {
      double seconds = 0;
      const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), seconds);
      if (ec != std::errc() || end != value.data() + value.size() || !(seconds > 0 && seconds <= 86400)) {
        error = "--timeout wants a number of seconds above 0 and up to 86400, not " + std::string(value);
        return std::nullopt;
      }
      o.timeoutMs = std::max<std::int64_t>(1, std::llround(seconds * 1000));
    } else if (flag == "--format") {
      if (value == "text") o.format = OutputFormat::Text;
      else if (value == "json") o.format = OutputFormat::Json;
      else if (value == "csv") o.format = OutputFormat::Csv;
      else {
        error = "--format wants text, json or csv, not " + std::string(value);
        return std::nullopt;
      }
    } else {
      error = "unknown argument: " + std::string(flag);
      return std::nullopt;
    }
  }
  if (!haveTarget && !o.judge) {
    error = "--target or --judge is required";
    return std::nullopt;
  }
  if (haveTarget && o.judge) {
    error = "--target and --judge exclude each other: with a judge, the judge is the target";
    return std::nullopt;
  }
  return o;
}

std::optional<std::string> SingleOperand(int argc, const char* const* argv, const char* what, std::string& error) {
  if (argc == 1) return std::string(argv[0]);
  error = argc == 0 ? std::string("missing ") + what : "too many arguments";
  return std::nullopt;
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
