// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "sample_lists.h"

#include <charconv>
#include <set>
#include <utility>

#include "tools/proxy_handshakes.h"

namespace mivo::sample {
namespace {

const char* Scheme(ProxyKind kind) {
  switch (kind) {
    case ProxyKind::Socks4: return "socks4";
    case ProxyKind::Socks5: return "socks5";
    case ProxyKind::Http11: break;
  }
  return "http";
}

std::vector<const SampleProxy*> Listed(const std::vector<SamplePage>& pages) {
  std::vector<const SampleProxy*> out;
  std::set<std::pair<std::string, int>> seen;
  for (const SamplePage& page : pages)
    for (const SampleProxy& p : page.proxies)
      if (seen.insert({p.address, p.port}).second) out.push_back(&p);
  return out;
}

std::string HostPort(const SampleProxy& p) { return p.address + ":" + std::to_string(p.port); }

}  // namespace

std::optional<ListAnswer> ListFor(const std::vector<SamplePage>& pages, const std::string& path,
                                  const std::string& rowsParameter) {
  std::string body;
  const std::string credentials = std::string(kSampleUser) + ":" + kSamplePassword;
  if (path == "/list.txt") {
    for (const SampleProxy* p : Listed(pages)) body += HostPort(*p) + "\n";
  } else if (path == "/list-urls.txt") {
    for (const SampleProxy* p : Listed(pages))
      body += std::string(Scheme(p->kind)) + "://" + (p->credentials ? credentials + "@" : "") + HostPort(*p) + "\n";
  } else if (path == "/list.json") {
    for (const SampleProxy* p : Listed(pages)) {
      body += body.empty() ? "[\n" : ",\n";
      body += "  {\"ip\": \"" + p->address + "\", \"port\": " + std::to_string(p->port) + ", \"protocol\": \"" +
              Scheme(p->kind) + "\"";
      if (p->credentials)
        body += std::string(", \"username\": \"") + kSampleUser + "\", \"password\": \"" + kSamplePassword + "\"";
      body += "}";
    }
    body += body.empty() ? "[]\n" : "\n]\n";
  } else if (path == "/list.csv") {
    body = "ip,port,protocol,username,password\r\n";
    for (const SampleProxy* p : Listed(pages))
      body += p->address + "," + std::to_string(p->port) + "," + Scheme(p->kind) + "," +
              (p->credentials ? std::string(kSampleUser) + "," + kSamplePassword : std::string(",")) + "\r\n";
  } else if (path == "/generated.txt") {
    int n = -1;
    const auto [end, ec] = std::from_chars(rowsParameter.data(), rowsParameter.data() + rowsParameter.size(), n);
    if (ec != std::errc() || end != rowsParameter.data() + rowsParameter.size() || n < 0 || n > kMaxGeneratedRows)
      return ListAnswer{400, "rows: 0 to " + std::to_string(kMaxGeneratedRows) + "\n"};
    for (const SampleProxy& p : GeneratedProxies(n)) body += HostPort(p) + "\n";
  } else {
    return std::nullopt;
  }
  return ListAnswer{200, std::move(body)};
}

}  // namespace mivo::sample
