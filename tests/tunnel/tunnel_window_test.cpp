// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "tunnel/ui/p_test.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>

#include <gtest/gtest.h>

#include "common/ui/widgets.h"
#include "tests/tunnel/tunnel_fakes.h"

namespace mivo {
namespace {

using test::FakeSocket;
using test::Hex;

QString Q(const char* s) { return QString::fromUtf8(s); }

class PTestWindow : public ::testing::Test {
 protected:
  PTestWindow() {
    ProxyModule() = Moduleproxy{};
    Open();
  }
  ~PTestWindow() override { delete window; }

  void Open() {
    auto owned = std::make_unique<FakeSocket>();
    socket = owned.get();
    window = new pTest(std::move(owned));
    window->show();
  }
  template <typename W>
  W* Get(const char* name) {
    W* w = window->findChild<W*>(name);
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  void Type(const char* box, const char* text) { Get<QLineEdit>(box)->setText(Q(text)); }
  void Click(const char* button) { QTest::mouseClick(Get<QPushButton>(button), Qt::LeftButton); }
  void Arrive(const std::string& bytes) {
    socket->waiting += bytes;
    socket->onDataArrival();
  }

  RecordingPresenter shown;
  QPointer<pTest> window;
  FakeSocket* socket = nullptr;
};

TEST_F(PTestWindow, LoadsWithCaptionsAndStartingTexts) {
  EXPECT_EQ(window->windowTitle(), Q("穿透代理测试"));
  EXPECT_EQ(window->windowIcon().availableSizes().size(), 4);
  const std::vector<std::pair<const char*, const char*>> labels = {
      {"Label1", "地址(IP)"}, {"Label2", "端口"},           {"Label3", "用户名"}, {"Label4", "密码"},
      {"Label5", "代理类型"}, {"Label6", "服务器地址(IP)"}, {"Label7", "端口"}};
  for (const auto& [name, caption] : labels) EXPECT_EQ(Get<QLabel>(name)->text(), Q(caption)) << name;
  const std::vector<std::pair<const char*, const char*>> boxes = {
      {"Text1", ""}, {"Text2", ""}, {"Text3", ""}, {"Text4", ""}, {"Text5", "127.0.0.1"}, {"Text6", "8080"}};
  for (const auto& [name, text] : boxes) EXPECT_EQ(Get<QLineEdit>(name)->text(), Q(text)) << name;
  EXPECT_EQ(Get<QLineEdit>("Text4")->echoMode(), QLineEdit::Password);
  EXPECT_EQ(Get<QPushButton>("Command1")->text(), Q("连接"));
  EXPECT_EQ(Get<QPushButton>("Command2")->text(), Q("断开"));
  EXPECT_EQ(Get<QCheckBox>("Check1")->text(), Q("密码验证"));
  EXPECT_FALSE(Get<QCheckBox>("Check1")->isChecked());
  EXPECT_EQ(Get<QGroupBox>("Frame1")->title(), Q("Frame1"));
  EXPECT_EQ(Get<QGroupBox>("Frame2")->title(), QString());
  EXPECT_NE(Get<QStatusBar>("Stb2"), nullptr);
  EXPECT_EQ(window->Status(), "");

  QComboBox* combo = Get<QComboBox>("Combo1");
  ASSERT_EQ(combo->count(), 3);
  EXPECT_EQ(combo->itemText(0), Q("Sock4代理"));
  EXPECT_EQ(combo->itemText(1), Q("Sock5代理"));
  EXPECT_EQ(combo->itemText(2), Q("HTTP 1.1 代理"));
  EXPECT_EQ(combo->currentIndex(), 0);
  EXPECT_FALSE(combo->isEditable());
  EXPECT_EQ(ProxyModule().ProxyKind, ProxyType::Socks4);
}

TEST_F(PTestWindow, ControlsSitWhereTheirTwipsSay) {
  struct At {
    const char* name;
    int left, top, width;
  };
  const std::vector<At> places = {
      {"Text1", 945, 90, 1755},     {"Text2", 3330, 90, 615},   {"Combo1", 990, 1710, 2970},
      {"Text5", 90, 2970, 1785},    {"Text6", 2925, 2970, 975}, {"Frame1", 90, 450, 3855},
      {"Frame2", 90, 2475, 3840},   {"Check1", 180, 450, -1},   {"Command1", 1845, 2115, -1},
      {"Command2", 2970, 2115, -1}, {"Label1", 135, 135, -1},   {"Label6", 90, 2700, -1}};
  for (const At& at : places) {
    const QRect g = Get<QWidget>(at.name)->geometry();
    EXPECT_EQ(g.topLeft(), TwipsRect(at.left, at.top, 0, 0).topLeft()) << at.name;
    if (at.width > 0) {
      EXPECT_EQ(g.width(), Twips(at.width)) << at.name;
    }
  }
  EXPECT_EQ(Get<QLineEdit>("Text3")->width(), Twips(2865));
  EXPECT_EQ(Get<QLineEdit>("Text4")->width(), Twips(2880));
  EXPECT_EQ(Get<QLineEdit>("Text3")->parentWidget(), Get<QGroupBox>("Frame1"));
  EXPECT_EQ(window->size(), QSize(Twips(4035), Twips(3690)));
  const QRect bar = Get<QStatusBar>("Stb2")->geometry();
  EXPECT_EQ(bar.bottom(), window->height() - 1);
  // The check box hides the frame's caption.
  EXPECT_TRUE(Get<QGroupBox>("Frame1")->geometry().contains(Get<QCheckBox>("Check1")->geometry().topLeft()));
}

TEST_F(PTestWindow, Check1EnablesTheFourCredentialControls) {
  const char* names[] = {"Text3", "Text4", "Label3", "Label4"};
  for (const char* n : names) EXPECT_FALSE(Get<QWidget>(n)->isEnabled()) << n;
  QTest::mouseClick(Get<QCheckBox>("Check1"), Qt::LeftButton);
  ASSERT_TRUE(Get<QCheckBox>("Check1")->isChecked());
  for (const char* n : names) EXPECT_TRUE(Get<QWidget>(n)->isEnabled()) << n;
  QTest::mouseClick(Get<QCheckBox>("Check1"), Qt::LeftButton);
  for (const char* n : names) EXPECT_FALSE(Get<QWidget>(n)->isEnabled()) << n;
}

TEST_F(PTestWindow, Combo1PicksTheProxyKind) {
  QComboBox* combo = Get<QComboBox>("Combo1");
  combo->setCurrentIndex(2);
  EXPECT_EQ(ProxyModule().ProxyKind, ProxyType::Http11);
  combo->setCurrentIndex(1);
  EXPECT_EQ(ProxyModule().ProxyKind, ProxyType::Socks5);
  combo->setCurrentIndex(0);
  EXPECT_EQ(ProxyModule().ProxyKind, ProxyType::Socks4);
}

TEST_F(PTestWindow, ConnectRunsASocks5HandshakeWithCredentials) {
  Get<QComboBox>("Combo1")->setCurrentIndex(1);
  Get<QCheckBox>("Check1")->setChecked(true);
  Type("Text1", "127.0.0.1");
  Type("Text2", "1080");
  Type("Text3", "ab");
  Type("Text4", "cde");
  EXPECT_EQ(Get<QLineEdit>("Text4")->displayText(), Q("***"));
  Click("Command1");
  EXPECT_EQ(socket->remoteHost, "127.0.0.1");
  EXPECT_EQ(socket->remotePort, 1080);
  EXPECT_EQ(socket->connects, 1);
  socket->onConnect();
  EXPECT_EQ(socket->wire, Hex({5, 1, 2}));
  Arrive(Hex({5, 2}));
  EXPECT_EQ(window->Status(), "连接成功！有验证");
  Arrive(Hex({1, 0}));
  EXPECT_EQ(window->Status(), "连接成功！有验证！");
  Arrive(Hex({5, 0, 0, 1, 127, 0, 0, 1, 0x1F, 0x90}));
  EXPECT_EQ(window->Status(), "连接目标服务器成功！");
  EXPECT_EQ(socket->wire, Hex({5, 1, 2, 1, 2, 'a', 'b', 3, 'c', 'd', 'e', 5, 1, 0, 1, 127, 0, 0, 1, 0x1F, 0x90}));
  EXPECT_TRUE(shown.shown.empty());
}

TEST_F(PTestWindow, FailureOpensExactlyOneMessageBox) {
  Type("Text1", "127.0.0.1");
  Type("Text2", "1080");
  Click("Command1");
  socket->onConnect();
  Arrive(Hex({0, 0x5B, 0, 0, 0, 0, 0, 0}));
  ASSERT_EQ(shown.shown.size(), 1u);
  EXPECT_EQ(shown.shown[0].text, "连接sock4代理失败！");
  EXPECT_EQ(shown.shown[0].title, "错误");
  EXPECT_EQ(shown.shown[0].icon, MsgIcon::Exclamation);
  EXPECT_FALSE(socket->open);
  EXPECT_EQ(ProxyModule().HandshakeState, HandshakeStep::Idle);
}

TEST_F(PTestWindow, BoxWithoutTitleCarriesTheApplicationTitle) {
  Get<QComboBox>("Combo1")->setCurrentIndex(1);
  Click("Command1");
  socket->onConnect();
  Arrive(Hex({5, 0xFF}));
  ASSERT_EQ(shown.shown.size(), 1u);
  EXPECT_EQ(shown.shown[0].text, "连接代理失败！");
  EXPECT_EQ(shown.shown[0].title, kAppTitle);
  EXPECT_EQ(shown.shown[0].icon, MsgIcon::Information);
}

TEST_F(PTestWindow, DisconnectDuringHandshakeStopsIt) {
  Get<QComboBox>("Combo1")->setCurrentIndex(2);
  Click("Command1");
  socket->onConnect();
  ASSERT_EQ(ProxyModule().HandshakeState, HandshakeStep::FirstReply);
  Click("Command2");
  EXPECT_FALSE(socket->open);
  EXPECT_EQ(window->Status(), "断开连接...");
  EXPECT_TRUE(shown.shown.empty());
  EXPECT_TRUE(Get<QPushButton>("Command1")->isEnabled());
  EXPECT_TRUE(Get<QPushButton>("Command2")->isEnabled());
}

TEST_F(PTestWindow, BadTargetIsRefusedBeforeConnecting) {
  Type("Text5", "localhost");
  Click("Command1");
  ASSERT_EQ(shown.shown.size(), 1u);
  EXPECT_EQ(shown.shown[0].title, "错误");
  EXPECT_EQ(shown.shown[0].icon, MsgIcon::Exclamation);
  EXPECT_EQ(socket->connects, 0);
  EXPECT_TRUE(socket->wire.empty());
}

TEST_F(PTestWindow, ReopeningResetsTheWindowButNotTheModuleState) {
  Get<QComboBox>("Combo1")->setCurrentIndex(2);
  Get<QCheckBox>("Check1")->setChecked(true);
  Type("Text5", "127.0.0.5");
  Type("Text6", "9");
  Type("Text3", "kept");
  Click("Command1");
  window->close();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  ASSERT_TRUE(window.isNull());
  Open();
  EXPECT_EQ(Get<QComboBox>("Combo1")->currentText(), Q("Sock4代理"));
  EXPECT_FALSE(Get<QCheckBox>("Check1")->isChecked());
  EXPECT_EQ(Get<QLineEdit>("Text5")->text(), Q("127.0.0.1"));
  EXPECT_EQ(Get<QLineEdit>("Text6")->text(), Q("8080"));
  EXPECT_EQ(Get<QLineEdit>("Text3")->text(), QString());
  EXPECT_EQ(ProxyModule().ProxyKind, ProxyType::Socks4);
  EXPECT_EQ(ProxyModule().TargetHost, "127.0.0.5");
  EXPECT_EQ(ProxyModule().TargetPort, 9);
  EXPECT_EQ(ProxyModule().AuthUser, "kept");
}

}  // namespace
}  // namespace mivo
