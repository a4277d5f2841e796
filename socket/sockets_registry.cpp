// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "sockets_layer.h"

namespace mivo {

namespace {
PosixSocketsLayer g_posix;
SocketsLayer* g_layer = &g_posix;
}  // namespace

SocketsLayer& Sockets() { return *g_layer; }
PosixSocketsLayer& PosixSockets() { return g_posix; }

SocketsLayer* SetSockets(SocketsLayer* layer) {
  SocketsLayer* old = g_layer;
  g_layer = layer ? layer : &g_posix;
  return old;
}

}  // namespace mivo
