// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <string>
#include <vector>

#include "common/proxy_type.h"

namespace mivo::sample {

// What a listed proxy's listener speaks once protocols are plugged in; the
// type cell of the page says the same.
using ProxyKind = ProxyType;

// What an HTTP proxy adds to the requests it forwards: what tells a judge
// page that a proxy is in the way, and whose address it carries.
enum class Disclosure {
  None,                // nothing: elite
  Via,                 // Via: anonymous
  ViaAndForwardedFor,  // Via and X-Forwarded-For with the client's address: transparent
};

const char* TypeText(ProxyKind kind);

struct SampleProxy {
  std::string address;  // a loopback address
  int port = 0;         // 10..65535: one-digit ports cannot be written
  ProxyKind kind = ProxyKind::Http11;
  std::string speed;
  std::string location;
  bool listening = false;  // false: connections to it are refused
  // SOCKS5 and HTTP only: the sample user name and password are required.
  bool credentials = false;
  // HTTP only.
  Disclosure disclosure = Disclosure::None;
};

struct SamplePage {
  std::string path;
  std::vector<SampleProxy> proxies;
};

// The twelve list pages the site serves, with their fixed ports.
std::vector<SamplePage> SamplePages();

// The script that writes `port` with the letter variables, e.g. (":"+r+d+r+d).
std::string PortScript(int port);

// A list page (UTF-8 text, CR LF line breaks) listing `proxies` in the
// layout of the list sites: one line with the address and the port script,
// then one line with the type, speed and location cells.
std::string ListPageText(const std::string& title, const std::vector<SampleProxy>& proxies);

inline constexpr int kMaxGeneratedRows = 300'000;

// `rows` made-up proxies on loopback addresses, none of them listening.
std::vector<SampleProxy> GeneratedProxies(int rows);
// The list page of GeneratedProxies(rows).
std::string GeneratedPageText(int rows);

}  // namespace mivo::sample
