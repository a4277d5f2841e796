// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

// What a judge's page says about a proxy, and which protocol a type cell names.

#include "verify/judge.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "verify/result.h"

namespace mivo::verify {
namespace {

struct JudgeCase {
  const char* name;
  std::string reply;
  const char* own;
  Anonymity anonymity;
  const char* exit;
};

void PrintTo(const JudgeCase& c, std::ostream* os) { *os << c.name; }

std::string Chunk(const std::string& data) {
  char size[16];
  std::snprintf(size, sizeof size, "%zx", data.size());
  return size + ("\r\n" + data) + "\r\n";
}

class JudgeSays : public ::testing::TestWithParam<JudgeCase> {};

TEST_P(JudgeSays, AnonymityAndExitAddress) {
  const JudgeCase& c = GetParam();
  const JudgeReply reply = ParseJudgeReply(c.reply);
  EXPECT_EQ(Classify(reply, {c.own}), c.anonymity);
  EXPECT_EQ(reply.RemoteAddr(), c.exit);
}

const JudgeCase kJudgeCases[] = {
    {"UserAsRemoteAddr", "REMOTE_ADDR = 127.0.0.1\nHTTP_HOST = 127.0.0.1:8086\n", "127.0.0.1", Anonymity::Transparent,
     "127.0.0.1"},
    {"UserAsMappedRemoteAddr", "REMOTE_ADDR = ::ffff:127.0.0.1\n", "127.0.0.1", Anonymity::Transparent,
     "::ffff:127.0.0.1"},
    {"UserInForwardedFor", "REMOTE_ADDR = 127.0.0.10\nHTTP_X_FORWARDED_FOR = 127.0.0.9, 127.0.0.1\n", "127.0.0.1",
     Anonymity::Transparent, "127.0.0.10"},
    {"UserWithPortInForwarded", "REMOTE_ADDR = 127.0.0.10\nHTTP_FORWARDED = for=127.0.0.1:4711;proto=http\n",
     "127.0.0.1", Anonymity::Transparent, "127.0.0.10"},
    {"UserInAnOrdinaryHeader", "REMOTE_ADDR=127.0.0.10\nHTTP_X_WHO=127.0.0.1\n", "127.0.0.1", Anonymity::Transparent,
     "127.0.0.10"},
    {"ViaAlone", "REMOTE_ADDR = 127.0.0.10\r\nHTTP_VIA = 1.1 mivo-sample\r\nHTTP_HOST = 127.0.0.1:8086\r\n",
     "127.0.0.1", Anonymity::Anonymous, "127.0.0.10"},
    // 127.0.0.10 begins with the user's 127.0.0.1 and is still someone else.
    {"AnotherAddressThatBeginsLikeTheUsers", "REMOTE_ADDR = 127.0.0.12\nHTTP_X_FORWARDED_FOR = 127.0.0.10\n",
     "127.0.0.1", Anonymity::Anonymous, "127.0.0.12"},
    {"ProxyConnectionAlone", "REMOTE_ADDR = 127.0.0.10\nHTTP_PROXY_CONNECTION = keep-alive\n", "127.0.0.1",
     Anonymity::Anonymous, "127.0.0.10"},
    // The judge's own address in Host is not the user's, even when they are the same.
    {"NothingButTheRequest",
     "REMOTE_ADDR = 127.0.0.10\nREMOTE_PORT = 40000\nHTTP_HOST = 127.0.0.1:8086\n"
     "HTTP_CONNECTION = close\n",
     "127.0.0.1", Anonymity::Elite, "127.0.0.10"},
    {"HtmlAroundTheLinesOfAnHttpReply",
     "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=GBK\r\n\r\n<html><body><pre>\r\n"
     "<b>REMOTE_ADDR</b> = 127.0.0.10<br>\r\n<tr><td>HTTP_VIA</td><td>=</td><td>1.0 cache</td></tr>\r\n"
     "</pre></body></html>\r\n",
     "127.0.0.1", Anonymity::Anonymous, "127.0.0.10"},
    {"ChunkedReplyCutMidLine",
     "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + Chunk("REMOTE_ADDR = 127.0") +
         Chunk(".0.10\r\nHTTP_X_REAL_IP = 127.0.0.1\r\n") + "0\r\n\r\n",
     "127.0.0.1", Anonymity::Transparent, "127.0.0.10"},
    {"NoRemoteAddr", "HTTP/1.1 200 OK\r\n\r\n<html>HTTP_VIA = 1.1 x</html>", "127.0.0.1", Anonymity::Unknown, ""},
    {"HeadOnly", "HTTP/1.1 200 OK\r\nX: REMOTE_ADDR = 127.0.0.10\r\n", "127.0.0.1", Anonymity::Unknown, ""},
};

INSTANTIATE_TEST_SUITE_P(Replies, JudgeSays, ::testing::ValuesIn(kJudgeCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct TypeCase {
  const char* cell;
  std::optional<ProxyType> first;
};

class TypeCell : public ::testing::TestWithParam<TypeCase> {};

TEST_P(TypeCell, NamesTheProtocolTriedFirstThenTheOthersInTheirOrder) {
  EXPECT_EQ(PreferredProtocol(GetParam().cell), GetParam().first);
  const std::array<ProxyType, 3> order = AttemptOrder(PreferredProtocol(GetParam().cell));
  const ProxyType first = GetParam().first.value_or(ProxyType::Socks5);
  EXPECT_EQ(order[0], first);
  std::array<ProxyType, 3> rest{};
  std::size_t n = 0;
  for (ProxyType p : {ProxyType::Socks5, ProxyType::Socks4, ProxyType::Http11})
    if (p != first) rest[n++] = p;
  EXPECT_EQ(order[1], rest[0]);
  EXPECT_EQ(order[2], rest[1]);
}

INSTANTIATE_TEST_SUITE_P(Cells, TypeCell,
                         ::testing::Values(TypeCase{"SOCKS4", ProxyType::Socks4}, TypeCase{"SOCKS5", ProxyType::Socks5},
                                           TypeCase{"HTTP", ProxyType::Http11}, TypeCase{"HTTPS", ProxyType::Http11},
                                           TypeCase{"https", ProxyType::Http11}, TypeCase{"socks 5", ProxyType::Socks5},
                                           TypeCase{"socks4/5", ProxyType::Socks4},
                                           TypeCase{"Socks4/Socks5", ProxyType::Socks5}, TypeCase{"透明", std::nullopt},
                                           TypeCase{"", std::nullopt}));

}  // namespace
}  // namespace mivo::verify
