#include "sockets_layer.h"

#include <sys/resource.h>

#include <algorithm>
#include <limits>

namespace mivo {

int PosixSocketsLayer::WSAStartup(std::uint16_t requestedVersion, WSAData& data) {
  (void)requestedVersion;  // 1.1 is the only version this layer speaks
  ++startCount_;
  data.wVersion = 0x0101;
  data.wHighVersion = 0x0101;
  rlimit lim{};
  long maxSockets = std::numeric_limits<std::int16_t>::max();
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY)
    maxSockets = std::min<long>(maxSockets, static_cast<long>(lim.rlim_cur));
  data.iMaxSockets = static_cast<std::int16_t>(maxSockets);
  return 0;
}

int PosixSocketsLayer::WSACleanup() {
  if (startCount_ == 0) return SOCKET_ERROR;
  --startCount_;
  return 0;
}

namespace {
PosixSocketsLayer g_posix;
SocketsLayer* g_layer = &g_posix;
}  // namespace

SocketsLayer& Sockets() { return *g_layer; }

SocketsLayer* SetSockets(SocketsLayer* layer) {
  SocketsLayer* old = g_layer;
  g_layer = layer ? layer : &g_posix;
  return old;
}

}  // namespace mivo
