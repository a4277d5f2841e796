#pragma once

// A TunnelSocket over QTcpSocket, so that the engine can meet real proxies in
// tests independently of the product's own socket control.

#include <QTcpSocket>

#include "common/gbk.h"
#include "tunnel/tunnel_session.h"

namespace mivo::test {

class QtTestSocket : public TunnelSocket {
 public:
  QtTestSocket() {
    QObject::connect(&s_, &QTcpSocket::connected, [this] {
      if (onConnect) onConnect();
    });
    QObject::connect(&s_, &QTcpSocket::readyRead, [this] {
      if (onDataArrival) onDataArrival();
    });
  }
  void SetRemoteHost(const std::string& host) override { host_ = host; }
  void SetRemotePort(std::int32_t port) override { port_ = port; }
  void Connect() override { s_.connectToHost(QString::fromStdString(host_), static_cast<quint16>(port_)); }
  void CloseSck() override { s_.abort(); }
  void SendBytes(const Bytes& bytes) override {
    s_.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
  }
  void SendText(const std::string& text) override {
    const std::string gbk = ToGbk(text);
    s_.write(gbk.data(), static_cast<qint64>(gbk.size()));
  }
  std::string GetAll() override { return s_.readAll().toStdString(); }

  // The tunnel's far end, once the handshake is done.
  QTcpSocket& Raw() { return s_; }

 private:
  QTcpSocket s_;
  std::string host_;
  std::int32_t port_ = 0;
};

}  // namespace mivo::test
