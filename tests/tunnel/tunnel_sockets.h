#pragma once

#include <array>
#include <memory>

#include "tests/tunnel/qt_test_socket.h"
#include "tunnel/tunnel_session.h"
#include "tunnel/winsock1.h"

namespace mivo::test {

// The socket controls the real-peer tests run over: the product's own, and
// Qt's as a reference that tells an engine fault from a control fault.
enum class SocketImpl { WinSock, QtTest };

inline constexpr std::array kSocketImpls{SocketImpl::WinSock, SocketImpl::QtTest};

inline const char* SocketImplName(SocketImpl impl) {
  switch (impl) {
    case SocketImpl::WinSock: return "WinSock";
    case SocketImpl::QtTest: return "QTcpSocket";
  }
  return "?";
}

inline std::unique_ptr<TunnelSocket> MakeTunnelSocket(SocketImpl impl) {
  switch (impl) {
    case SocketImpl::WinSock: return NewWinsock1();
    case SocketImpl::QtTest: return std::make_unique<QtTestSocket>();
  }
  return nullptr;
}

}  // namespace mivo::test
