// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

// The main window's Ptst command opening the tunnel window, and the tunnel
// window driving a real proxy over its WinSock.

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTest>

#include <gtest/gtest.h>

#include "harvester/ui/frm_main.h"
#include "tests/support/wait.h"
#include "tests/tunnel/proxy_peers.h"
#include "tunnel/ui/p_test.h"
#include "tunnel/winsock1.h"

namespace mivo {
namespace {

QString Q(const char* s) { return QString::fromUtf8(s); }

class PtstCommand : public ::testing::Test {
 protected:
  PtstCommand() {
    ProxyModule() = Moduleproxy{};
    window.show();
  }
  void AddRow(const char* address, const char* port) {
    window.Rows().Append(address);
    window.Rows().SetText(window.Rows().Count(), ProxyColumn::Port, port);
  }
  void Ptst() { window.findChild<QAction*>("Ptst")->trigger(); }
  pTest* Tunnel() { return window.findChild<pTest*>("pTest"); }
  QString Box(const char* name) { return Tunnel()->findChild<QLineEdit*>(name)->text(); }

  RecordingPresenter shown;
  frmMain window;
};

TEST_F(PtstCommand, FillsTheProxyFromTheSelectedRow) {
  AddRow("127.0.0.7", "3128");
  AddRow("127.0.0.8", "1080");
  window.findChild<QTableView*>("Lw1")->selectRow(1);
  Ptst();
  ASSERT_NE(Tunnel(), nullptr);
  EXPECT_TRUE(Tunnel()->isVisible());
  EXPECT_EQ(Box("Text1"), Q("127.0.0.8"));
  EXPECT_EQ(Box("Text2"), Q("1080"));
  EXPECT_EQ(window.Panel(kStatusPanel), "");
  // Type, target and credentials are not taken from the row.
  EXPECT_EQ(Tunnel()->findChild<QComboBox*>("Combo1")->currentIndex(), 0);
  EXPECT_EQ(Box("Text5"), Q("127.0.0.1"));
}

TEST_F(PtstCommand, WithoutASelectedRowAsksForTheListAndStillOpens) {
  Ptst();
  ASSERT_NE(Tunnel(), nullptr);
  EXPECT_TRUE(Tunnel()->isVisible());
  EXPECT_EQ(window.Panel(kStatusPanel), "请先代理更新列表...");
  EXPECT_EQ(Box("Text1"), QString());
  EXPECT_TRUE(shown.shown.empty());
}

TEST_F(PtstCommand, ReusesTheOpenWindowAndKeepsItsBoxesWhenNoRowIsSelected) {
  AddRow("127.0.0.7", "3128");
  window.findChild<QTableView*>("Lw1")->selectRow(0);
  Ptst();
  pTest* first = Tunnel();
  first->findChild<QLineEdit*>("Text6")->setText("81");
  window.findChild<QTableView*>("Lw1")->clearSelection();
  Ptst();
  EXPECT_EQ(Tunnel(), first);
  EXPECT_EQ(window.findChildren<pTest*>().size(), 1);
  EXPECT_EQ(Box("Text1"), Q("127.0.0.7"));
  EXPECT_EQ(Box("Text6"), Q("81"));
  EXPECT_EQ(window.Panel(kStatusPanel), "请先代理更新列表...");
}

TEST_F(PtstCommand, ClosingUnloadsAndTheNextCommandLoadsAfresh) {
  Ptst();
  QPointer<pTest> first = Tunnel();
  first->findChild<QComboBox*>("Combo1")->setCurrentIndex(1);
  first->findChild<QLineEdit*>("Text5")->setText("127.0.0.9");
  first->close();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  ASSERT_TRUE(first.isNull());
  Ptst();
  ASSERT_NE(Tunnel(), nullptr);
  EXPECT_EQ(Tunnel()->findChild<QComboBox*>("Combo1")->currentText(), Q("Sock4代理"));
  EXPECT_EQ(Box("Text5"), Q("127.0.0.1"));
}

// The whole window over its WinSock.
class PTestOverWinSock : public ::testing::Test {
 protected:
  PTestOverWinSock() { ProxyModule() = Moduleproxy{}; }

  RecordingPresenter shown;
};

// microsocks asking for "gui" / "pa55", with a loopback echo server to reach through it.
struct GuiProxy {
  test::EchoServer echo;
  test::Endpoint proxy{"127.0.0.1", 0, "gui", "pa55"};
  std::unique_ptr<test::ProxyProcess> process = test::StartMicrosocks(proxy);
};

TEST_F(PTestOverWinSock, Socks5WithCredentialsReachesTheTarget) {
  GuiProxy peer;
  ASSERT_NE(peer.process, nullptr);
  QPointer<pTest> window = new pTest();
  window->show();
  auto box = [&](const char* name, const std::string& text) {
    window->findChild<QLineEdit*>(name)->setText(QString::fromStdString(text));
  };
  window->findChild<QComboBox*>("Combo1")->setCurrentIndex(1);
  window->findChild<QCheckBox*>("Check1")->setChecked(true);
  box("Text1", peer.proxy.host);
  box("Text2", std::to_string(peer.proxy.port));
  box("Text3", peer.proxy.user);
  box("Text4", peer.proxy.password);
  box("Text6", std::to_string(peer.echo.Port()));
  QTest::mouseClick(window->findChild<QPushButton*>("Command1"), Qt::LeftButton);
  ASSERT_TRUE(
      test::WaitUntil([&] { return window->Status() == "连接目标服务器成功！" || !shown.shown.empty(); }, 15000))
      << window->Status();
  EXPECT_TRUE(shown.shown.empty());
  EXPECT_EQ(ProxyModule().HandshakeState, HandshakeStep::TunnelOpen);
  EXPECT_TRUE(test::WaitUntil([&] { return peer.echo.accepted == 1; }));

  QTest::mouseClick(window->findChild<QPushButton*>("Command2"), Qt::LeftButton);
  EXPECT_EQ(window->Status(), "断开连接...");
  delete window;
}

// A proxy that has read the greeting and not yet answered when the user
// presses "断开": the connection goes, and its answer can no longer arrive.
TEST_F(PTestOverWinSock, DisconnectBeforeTheProxyAnswersStopsTheHandshake) {
  QTcpServer slow;
  ASSERT_TRUE(slow.listen(QHostAddress::LocalHost, 0));
  QPointer<QTcpSocket> peer;
  QByteArray greeting;
  bool peerGone = false;
  QObject::connect(&slow, &QTcpServer::newConnection, [&] {
    peer = slow.nextPendingConnection();
    QObject::connect(peer, &QTcpSocket::readyRead, [&] { greeting += peer->readAll(); });
    QObject::connect(peer, &QTcpSocket::disconnected, [&] { peerGone = true; });
  });

  pTest window;
  window.findChild<QComboBox*>("Combo1")->setCurrentIndex(1);
  window.findChild<QLineEdit*>("Text1")->setText("127.0.0.1");
  window.findChild<QLineEdit*>("Text2")->setText(QString::number(slow.serverPort()));
  QTest::mouseClick(window.findChild<QPushButton*>("Command1"), Qt::LeftButton);
  ASSERT_TRUE(test::WaitUntil([&] { return greeting.size() >= 3; }));
  EXPECT_EQ(greeting, QByteArray("\x05\x01\x00", 3));
  ASSERT_EQ(ProxyModule().HandshakeState, HandshakeStep::FirstReply);

  QTest::mouseClick(window.findChild<QPushButton*>("Command2"), Qt::LeftButton);
  EXPECT_EQ(window.Status(), "断开连接...");
  ASSERT_TRUE(test::WaitUntil([&] { return peerGone; }));
  EXPECT_EQ(ProxyModule().HandshakeState, HandshakeStep::FirstReply);
  EXPECT_TRUE(shown.shown.empty());
}

TEST_F(PTestOverWinSock, UnreachableProxyShowsNothing) {
  pTest window;
  window.findChild<QLineEdit*>("Text1")->setText("127.0.0.1");
  window.findChild<QLineEdit*>("Text2")->setText(QString::number(test::FreeLoopbackPort()));
  QTest::mouseClick(window.findChild<QPushButton*>("Command1"), Qt::LeftButton);
  auto& control = dynamic_cast<Winsock1Socket&>(window.Winsock1()).Control();
  ASSERT_TRUE(test::WaitUntil([&] { return control.State() == SocketState::Error; }));
  EXPECT_EQ(window.Status(), "");
  EXPECT_TRUE(shown.shown.empty());
  EXPECT_EQ(ProxyModule().HandshakeState, HandshakeStep::Idle);
}

TEST_F(PTestOverWinSock, WrongPasswordShowsOneBox) {
  GuiProxy peer;
  ASSERT_NE(peer.process, nullptr);
  pTest window;
  window.findChild<QComboBox*>("Combo1")->setCurrentIndex(1);
  window.findChild<QCheckBox*>("Check1")->setChecked(true);
  window.findChild<QLineEdit*>("Text1")->setText("127.0.0.1");
  window.findChild<QLineEdit*>("Text2")->setText(QString::number(peer.proxy.port));
  window.findChild<QLineEdit*>("Text3")->setText("gui");
  window.findChild<QLineEdit*>("Text4")->setText("wrong");
  window.findChild<QLineEdit*>("Text6")->setText(QString::number(peer.echo.Port()));
  QTest::mouseClick(window.findChild<QPushButton*>("Command1"), Qt::LeftButton);
  ASSERT_TRUE(test::WaitUntil([&] { return !shown.shown.empty(); }, 15000)) << window.Status();
  ASSERT_EQ(shown.shown.size(), 1u);
  EXPECT_EQ(shown.shown[0].text, "sock5代理校验用户名、密码失败！");
  EXPECT_EQ(shown.shown[0].title, "错误");
  EXPECT_EQ(shown.shown[0].icon, MsgIcon::Exclamation);
  EXPECT_EQ(window.Status(), "连接成功！有验证");
  EXPECT_EQ(ProxyModule().HandshakeState, HandshakeStep::Idle);
}

}  // namespace
}  // namespace mivo
