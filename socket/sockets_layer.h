#pragma once

#include <cstdint>

namespace mivo {

inline constexpr int SOCKET_ERROR = -1;
inline constexpr int WSANOTINITIALISED = 10093;

// What the start-up of the sockets layer reports.
struct WSAData {
  std::uint16_t wVersion = 0;      // low byte major, high byte minor
  std::uint16_t wHighVersion = 0;
  std::int16_t iMaxSockets = 0;
};

// The platform's sockets calls, each failure reported as its Windows Sockets
// error number. Everything that touches the network goes through here so
// that tests can substitute a fake.
class SocketsLayer {
 public:
  virtual ~SocketsLayer() = default;

  // Returns 0 when started, else an error number; `data` is filled on success.
  virtual int WSAStartup(std::uint16_t requestedVersion, WSAData& data) = 0;
  // Returns 0, or SOCKET_ERROR when there is no start-up to match.
  virtual int WSACleanup() = 0;
};

// POSIX sockets behind the Windows Sockets conventions.
class PosixSocketsLayer : public SocketsLayer {
 public:
  int WSAStartup(std::uint16_t requestedVersion, WSAData& data) override;
  int WSACleanup() override;

  int StartCount() const { return startCount_; }

 private:
  int startCount_ = 0;
};

// The layer in force for the process.
SocketsLayer& Sockets();
// Installs `layer` (not owned); nullptr restores the POSIX layer. Returns the previous one.
SocketsLayer* SetSockets(SocketsLayer* layer);

}  // namespace mivo
