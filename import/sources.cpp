// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "sources.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>

#include "common/text.h"
#include "harvester/http_request.h"
#include "harvester/main_window_ops.h"
#include "harvester/page_download.h"

namespace mivo::importer {
namespace {

constexpr std::size_t kPiece = 1 << 20;

std::string Errno(int err) { return std::strerror(err); }

}  // namespace

bool IsUrlSource(const std::string& source) {
  const std::string scheme = AsciiLower(source.substr(0, 8));
  return scheme.starts_with("http://") || scheme.starts_with("https://");
}

void ImportFile(ListImporter& into, const std::string& path) {
  const bool stdinput = path == "-";
  const int fd = stdinput ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return into.Failed(path, "cannot read " + path + ": " + Errno(errno));
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    if (!stdinput) ::close(fd);
    return into.Failed(path, "cannot read " + path + ": " + Errno(EISDIR));
  }
  into.Begin(path);
  if (S_ISREG(st.st_mode)) into.Expect(static_cast<std::size_t>(st.st_size));
  const std::unique_ptr<char[]> buffer(new char[kPiece]);
  std::optional<std::string> error;
  for (;;) {
    const ssize_t n = ::read(fd, buffer.get(), kPiece);
    if (n > 0) {
      into.Feed(std::string_view(buffer.get(), static_cast<std::size_t>(n)));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error = "reading " + path + " stopped: " + Errno(errno);
    break;
  }
  if (!stdinput) ::close(fd);
  if (error) return into.Fail(*error);
  into.End();
}

void ImportSources(ListImporter& into, MainWindowOps& ops, const std::vector<std::string>& sources) {
  std::vector<std::string> addresses;
  for (const std::string& s : sources)
    if (IsUrlSource(s)) addresses.push_back(s);
  PageDownloads downloads(addresses);
  std::size_t next = 0;
  int done = 0;
  for (const std::string& s : sources) {
    ops.SetProgress(done++, static_cast<int>(sources.size()));
    if (!IsUrlSource(s)) {
      ImportFile(into, s);
      continue;
    }
    std::string error;
    const std::optional<std::string> body = downloads.Wait(ops, next++, error);
    if (body && body->empty())
      error = "nothing usable came (refused, an error, nothing at all, or over " +
              std::to_string(kMaxResponseBody >> 20) + " MiB)";
    if (body && !body->empty())
      into.Import(s, *body);
    else
      into.Failed(s, s + ": " + error);
  }
  ops.SetProgress(0, 0);
}

}  // namespace mivo::importer
