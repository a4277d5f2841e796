// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "sample_pages.h"

#include <array>
#include <cstdint>

#include "common/gbk.h"

namespace mivo::sample {
namespace {

constexpr std::array<char, 10> kDigitLetters{'d', 'c', 'k', 'z', 'm', 'B', 'w', 'i', 'r', 'l'};

constexpr std::array<const char*, 12> kPagePaths{
    "/proxy1.html", "/proxy2.html", "/proxy3.html", "/proxy4.html",  "/proxy5.html",    "/proxy6.html",
    "/proxy7.html", "/proxy8.html", "/proxy9.html", "/proxy10.html", "/proxyedu1.html", "/proxyedu2.html",
};

constexpr std::array<const char*, 12> kCityLocations{
    "北京市 电信",       "上海市 联通",       "广东省广州市 电信", "浙江省杭州市 电信",
    "江苏省南京市 联通", "四川省成都市 电信", "湖北省武汉市 电信", "山东省济南市 联通",
    "福建省厦门市 电信", "辽宁省沈阳市 联通", "陕西省西安市 电信", "天津市 联通",
};

constexpr std::array<const char*, 8> kCampusLocations{
    "清华大学 教育网", "北京大学 教育网", "复旦大学 教育网", "浙江大学 教育网",
    "武汉大学 教育网", "南京大学 教育网", "中山大学 教育网", "四川大学 教育网",
};

constexpr std::array<int, 4> kHttpPorts{8080, 3128, 8118, 8000};
constexpr std::array<int, 3> kSocksPorts{1080, 1085, 9050};

std::string Speed(int hundredths) {
  const std::string cents = std::to_string(hundredths % 100);
  std::string text = std::to_string(hundredths / 100);
  text += '.';
  if (cents.size() < 2) text += '0';
  text += cents;
  return text;
}

// The pages list HTTP, SOCKS4 and SOCKS5 proxies in turn.
constexpr std::array<ProxyKind, 3> kPageOrder{ProxyKind::Http11, ProxyKind::Socks4, ProxyKind::Socks5};
ProxyKind KindOf(int n) { return kPageOrder[static_cast<std::size_t>(n) % kPageOrder.size()]; }

int PortFor(ProxyKind kind, int n) {
  return kind == ProxyKind::Http11 ? kHttpPorts[static_cast<std::size_t>(n) % kHttpPorts.size()]
                                   : kSocksPorts[static_cast<std::size_t>(n) % kSocksPorts.size()];
}

// The parser skips the entry step for lines of 10 or 100 characters; a row
// must never land on those lengths, so such a line gets a trailing space.
std::string AvoidSkippedLengths(std::string line) {
  const std::size_t length = Utf8Length(line);
  if (length == 10 || length == 100) line += ' ';
  return line;
}

}  // namespace

const char* TypeText(ProxyKind kind) {
  const char* name = ProxyTypeName(kind);
  return name ? name : "HTTP";
}

std::vector<SamplePage> SamplePages() {
  std::vector<SamplePage> pages;
  for (std::size_t p = 0; p < kPagePaths.size(); ++p) {
    const bool campus = p >= 10;
    SamplePage page{kPagePaths[p], {}};
    const int rows = 4 + static_cast<int>(p % 3);
    for (int j = 0; j < rows; ++j) {
      const int n = static_cast<int>(p) * 8 + j;
      SampleProxy proxy;
      proxy.address = "127.0.0." + std::to_string(10 + n);
      proxy.kind = KindOf(static_cast<int>(p) + j);
      proxy.port = PortFor(proxy.kind, n);
      proxy.speed = Speed(35 + (n * 37) % 400);
      proxy.location = campus ? kCampusLocations[static_cast<std::size_t>(n) % kCampusLocations.size()]
                              : kCityLocations[static_cast<std::size_t>(n) % kCityLocations.size()];
      proxy.listening = j % 3 != 1;
      // The even-numbered pages list proxies that ask for the sample credentials.
      proxy.credentials = p % 2 == 1 && proxy.kind != ProxyKind::Socks4;
      // A page's first row, when HTTP, gives the client away; its fourth only says it is a proxy.
      if (proxy.kind == ProxyKind::Http11)
        proxy.disclosure = j == 0 ? Disclosure::ViaAndForwardedFor : j == 3 ? Disclosure::Via : Disclosure::None;
      page.proxies.push_back(std::move(proxy));
    }
    pages.push_back(std::move(page));
  }
  return pages;
}

std::string PortScript(int port) {
  std::string script = "(\":\"";
  for (char digit : std::to_string(port)) {
    script += '+';
    script += kDigitLetters[static_cast<std::size_t>(digit - '0')];
  }
  return script + ")";
}

std::string ListPageText(const std::string& title, const std::vector<SampleProxy>& proxies) {
  std::string page;
  page.reserve(200 + proxies.size() * 140);
  page += "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=gbk\"><title>" + title +
          "</title></head><body>\r\n";
  page +=
      "<SCRIPT type=text/javascript>var d=\"0\",c=\"1\",k=\"2\",z=\"3\",m=\"4\",B=\"5\",b=\"5\",w=\"6\","
      "i=\"7\",r=\"8\",l=\"9\";</SCRIPT>\r\n";
  page += "<table><tr><th>IP地址</th><th>类型</th><th>速度</th><th>地址</th></tr>\r\n";
  for (const SampleProxy& proxy : proxies) {
    page += AvoidSkippedLengths("<tr><td>" + proxy.address + "<SCRIPT type=text/javascript>document.write" +
                                PortScript(proxy.port));
    page += "\r\n";
    page += AvoidSkippedLengths(std::string("</SCRIPT></td><td>") + TypeText(proxy.kind) + "</td><td>" + proxy.speed +
                                "</td><td>" + proxy.location + "</td></tr>");
    page += "\r\n";
  }
  page += "</table><p>共 " + std::to_string(proxies.size()) + " 个代理服务器</p></body></html>\r\n";
  return page;
}

std::vector<SampleProxy> GeneratedProxies(int rows) {
  std::vector<SampleProxy> proxies;
  proxies.reserve(static_cast<std::size_t>(rows > 0 ? rows : 0));
  for (int i = 0; i < rows; ++i) {
    SampleProxy proxy;
    // At most 14 characters: a longer address would start no row.
    proxy.address = "127." + std::to_string(1 + (i / (256 * 254)) % 99) + "." + std::to_string((i / 254) % 256) + "." +
                    std::to_string(1 + i % 254);
    proxy.kind = KindOf(i);
    proxy.port = 1024 + static_cast<int>(static_cast<std::int64_t>(i) * 7919 % 64000);
    proxy.speed = Speed(20 + (i * 31) % 500);
    proxy.location = kCityLocations[static_cast<std::size_t>(i) % kCityLocations.size()];
    proxies.push_back(std::move(proxy));
  }
  return proxies;
}

std::string GeneratedPageText(int rows) {
  return ListPageText("代理列表 " + std::to_string(rows), GeneratedProxies(rows));
}

}  // namespace mivo::sample
