#pragma once

#include <array>
#include <memory>

#include "tests/tunnel/qt_test_socket.h"
#include "tunnel/tunnel_session.h"

namespace mivo::test {

// The socket controls the real-peer tests run over.
enum class SocketImpl { QtTest };

inline constexpr std::array kSocketImpls{SocketImpl::QtTest};

inline const char* SocketImplName(SocketImpl impl) {
  switch (impl) {
    case SocketImpl::QtTest: return "QTcpSocket";
  }
  return "?";
}

inline std::unique_ptr<TunnelSocket> MakeTunnelSocket(SocketImpl impl) {
  switch (impl) {
    case SocketImpl::QtTest: return std::make_unique<QtTestSocket>();
  }
  return nullptr;
}

}  // namespace mivo::test
