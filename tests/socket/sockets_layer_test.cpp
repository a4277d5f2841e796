#include "socket/sockets_layer.h"

#include <sys/resource.h>

#include <gtest/gtest.h>

namespace mivo {
namespace {

TEST(PosixSocketsLayer, StartUpCountsAndReportsVersionAndOpenFileLimit) {
  PosixSocketsLayer layer;
  WSAData data;
  ASSERT_EQ(layer.WSAStartup(0x0101, data), 0);
  ASSERT_EQ(layer.WSAStartup(0x0101, data), 0);
  EXPECT_EQ(data.wVersion, 0x0101);
  rlimit lim{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
  EXPECT_EQ(data.iMaxSockets, static_cast<std::int16_t>(std::min<rlim_t>(lim.rlim_cur, 32767)));
  EXPECT_EQ(layer.StartCount(), 2);
  EXPECT_EQ(layer.WSACleanup(), 0);
  EXPECT_EQ(layer.WSACleanup(), 0);
  EXPECT_EQ(layer.WSACleanup(), SOCKET_ERROR);
  EXPECT_EQ(layer.StartCount(), 0);
}

}  // namespace
}  // namespace mivo
