#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "tunnel/moduleproxy.h"
#include "verify/judge.h"

namespace mivo::cli {

// Exit code of every usage error: an unknown or missing argument, or one the
// command cannot use. The message goes to standard error with the usage.
inline constexpr int kExitUsage = 2;

struct TunnelOptions {
  std::optional<ProxyType> kind;
  std::string proxyHost, proxyPort, targetHost, targetPort, user, password;
  bool credentials = false;
};

// The arguments after "tunnel"; on failure `error` says what is wrong with them.
std::optional<TunnelOptions> ParseTunnelArgs(int argc, const char* const* argv, std::string& error);

enum class OutputFormat { Text, Json, Csv };

struct VerifyArgs {
  // --target, or nothing when a judge is given (the judge is then the target).
  std::string targetHost;
  std::int32_t targetPort = 0;
  std::optional<verify::JudgeUrl> judge;
  std::string judgeText;  // as given
  bool credentials = false;
  std::string user, password;
  std::int64_t timeoutMs = 10000;
  OutputFormat format = OutputFormat::Text;
};

// The arguments after "verify"; on failure `error` says what is wrong with them.
std::optional<VerifyArgs> ParseVerifyArgs(int argc, const char* const* argv, std::string& error);

// A single operand (parse FILE, fetch URL); `error` names what is missing or extra.
std::optional<std::string> SingleOperand(int argc, const char* const* argv, const char* what, std::string& error);

// The whole content of a regular file; `error` says why it cannot be had.
std::optional<std::string> ReadWholeFile(const std::string& path, std::string& error);

}  // namespace mivo::cli
