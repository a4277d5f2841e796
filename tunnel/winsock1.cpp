// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "winsock1.h"

namespace mivo {

Winsock1Socket::Winsock1Socket() {
  control_.events.Connect = [this] {
    if (onConnect) onConnect();
  };
  control_.events.DataArrival = [this](std::int32_t) {
    if (onDataArrival) onDataArrival();
  };
  control_.events.CloseSck = [this] {
    if (onClose) onClose();
  };
  control_.events.Error = [this](std::int16_t number, std::string&, std::int32_t, std::string, std::string,
                                 std::int32_t, bool&) {
    if (onError) onError(number);
  };
}

std::string Winsock1Socket::GetAll() {
  Variant data;
  control_.GetData(data, Variant(std::int32_t{vtByteArray}));
  const Bytes& bytes = data.ByteArray();
  return std::string(bytes.begin(), bytes.end());
}

std::unique_ptr<TunnelSocket> NewWinsock1() { return std::make_unique<Winsock1Socket>(); }

}  // namespace mivo
