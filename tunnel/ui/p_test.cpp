// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "p_test.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QStatusBar>

#include <array>

#include "common/ui/widgets.h"
#include "tunnel/winsock1.h"

namespace mivo {
namespace {

constexpr int kClientWidth = 4035;
constexpr int kClientHeight = 3690;
constexpr int kBoxHeight = 300;
constexpr int kLabelHeight = 240;
constexpr int kButtonWidth = 975;
constexpr int kButtonHeight = 330;

// In the order of kProxyTypes.
constexpr std::array<const char*, kProxyTypes.size()> kKinds{"Sock4代理", "Sock5代理", "HTTP 1.1 代理"};

// The application's style, but masking each character of a password with
// "*" where Qt would show a dot.
class StarMaskStyle : public QProxyStyle {
 public:
  explicit StarMaskStyle(QObject* owner) : QProxyStyle(QApplication::style()->name()) { setParent(owner); }
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* returnData) const override {
    if (hint == SH_LineEdit_PasswordCharacter) return '*';
    return QProxyStyle::styleHint(hint, option, widget, returnData);
  }
};

}  // namespace

pTest::pTest(QWidget* parent) : pTest(NewWinsock1(), parent) {}

pTest::pTest(std::unique_ptr<TunnelSocket> socket, QWidget* parent)
    : QWidget(parent, Qt::Window), Winsock1_(std::move(socket)), session_(ProxyModule(), *this, *Winsock1_) {
  setObjectName("pTest");
  setWindowTitle(UiText("穿透代理测试"));
  setWindowIcon(AppIcon());
  setAttribute(Qt::WA_DeleteOnClose);

  Label1 = NewLabel(this, "Label1", "地址(IP)", TwipsRect(135, 135, 800, kLabelHeight));
  Text1 = NewLineEdit(this, "Text1", "", TwipsRect(945, 90, 1755, kBoxHeight));
  Label2 = NewLabel(this, "Label2", "端口", TwipsRect(2880, 135, 450, kLabelHeight));
  Text2 = NewLineEdit(this, "Text2", "", TwipsRect(3330, 90, 615, kBoxHeight));

  // The frame's own caption sits under the check box.
  Frame1 = new QGroupBox(UiText("Frame1"), this);
  Frame1->setObjectName("Frame1");
  Frame1->setGeometry(TwipsRect(90, 450, 3855, 1200));
  Frame1->setStyleSheet("QGroupBox#Frame1::title { color: transparent; }");
  Label3 = NewLabel(Frame1, "Label3", "用户名", TwipsRect(120, 360, 700, kLabelHeight));
  Text3 = NewLineEdit(Frame1, "Text3", "", TwipsRect(870, 315, 2865, kBoxHeight));
  Label4 = NewLabel(Frame1, "Label4", "密码", TwipsRect(120, 780, 700, kLabelHeight));
  Text4 = NewLineEdit(Frame1, "Text4", "", TwipsRect(855, 735, 2880, kBoxHeight));
  Text4->setEchoMode(QLineEdit::Password);
  // A child of the window made after Frame1, so it outlives the box.
  Text4->setStyle(new StarMaskStyle(this));
  Check1 = new QCheckBox(UiText("密码验证"), this);
  Check1->setObjectName("Check1");
  Check1->setGeometry(TwipsRect(180, 450, 1100, kLabelHeight));
  Check1->setAutoFillBackground(true);
  Check1->raise();

  Label5 = NewLabel(this, "Label5", "代理类型", TwipsRect(90, 1800, 900, kLabelHeight));
  Combo1 = new QComboBox(this);
  Combo1->setObjectName("Combo1");
  Combo1->setEditable(false);
  for (const char* kind : kKinds) Combo1->addItem(UiText(kind));
  Combo1->setGeometry(TwipsRect(990, 1710, 2970, kBoxHeight + 15));

  Command1 = new QPushButton(UiText("连接"), this);
  Command1->setObjectName("Command1");
  Command1->setGeometry(TwipsRect(1845, 2115, kButtonWidth, kButtonHeight));
  Command2 = new QPushButton(UiText("断开"), this);
  Command2->setObjectName("Command2");
  Command2->setGeometry(TwipsRect(2970, 2115, kButtonWidth, kButtonHeight));

  Frame2 = new QGroupBox(this);
  Frame2->setObjectName("Frame2");
  Frame2->setGeometry(TwipsRect(90, 2475, 3840, 150));

  Label6 = NewLabel(this, "Label6", "服务器地址(IP)", TwipsRect(90, 2700, 1500, kLabelHeight));
  Text5 = NewLineEdit(this, "Text5", "127.0.0.1", TwipsRect(90, 2970, 1785, kBoxHeight));
  Label7 = NewLabel(this, "Label7", "端口", TwipsRect(2925, 2700, 450, kLabelHeight));
  Text6 = NewLineEdit(this, "Text6", "8080", TwipsRect(2925, 2970, 975, kBoxHeight));

  Stb2 = new QStatusBar(this);
  Stb2->setObjectName("Stb2");
  Stb2->setSizeGripEnabled(false);
  panel1_ = new QLabel(Stb2);
  panel1_->setObjectName("Stb2Panel1");
  Stb2->addWidget(panel1_, 1);
  const int barHeight = Stb2->sizeHint().height();
  setFixedSize(Twips(kClientWidth), Twips(kClientHeight));
  Stb2->setGeometry(0, height() - barHeight, width(), barHeight);

  connect(Combo1, &QComboBox::currentIndexChanged, this, [this] { Combo1_Click(); });
  connect(Check1, &QCheckBox::toggled, this, [this] { Check1_Click(); });
  connect(Command1, &QPushButton::clicked, this, [this] { Command1_Click(); });
  connect(Command2, &QPushButton::clicked, this, [this] { Command2_Click(); });
  Winsock1_->onConnect = [this] { session_.OnConnect(); };
  Winsock1_->onDataArrival = [this] { session_.OnDataArrival(); };

  Load();
}

pTest::~pTest() {
  // The control goes with the window; its events must not reach a half-destroyed one.
  Winsock1_->onConnect = nullptr;
  Winsock1_->onDataArrival = nullptr;
  Winsock1_->CloseSck();
}

void pTest::Load() {
  ProxyModule().ProxyKind = ProxyType::Socks4;
  Combo1->setCurrentIndex(0);
  Combo1_Click();
  for (QWidget* w : {static_cast<QWidget*>(Text3), static_cast<QWidget*>(Text4), static_cast<QWidget*>(Label3),
                     static_cast<QWidget*>(Label4)})
    w->setEnabled(false);
}

void pTest::Combo1_Click() {
  const QString picked = Combo1->currentText();
  for (std::size_t k = 0; k < kKinds.size(); ++k)
    if (picked == UiText(kKinds[k])) ProxyModule().ProxyKind = kProxyTypes[k];
}

void pTest::Check1_Click() {
  const bool on = Check1->isChecked();
  for (QWidget* w : {static_cast<QWidget*>(Text3), static_cast<QWidget*>(Text4), static_cast<QWidget*>(Label3),
                     static_cast<QWidget*>(Label4)})
    w->setEnabled(on);
}

void pTest::Command1_Click() {
  session_.ConnectClicked({Utf8(Text1->text()), Utf8(Text2->text()), Utf8(Text3->text()), Utf8(Text4->text()),
                           Utf8(Text5->text()), Utf8(Text6->text())});
}

void pTest::Command2_Click() { session_.DisconnectClicked(); }

void pTest::SetProxy(const QString& address, const QString& port) {
  Text1->setText(address);
  Text2->setText(port);
}

std::string pTest::Status() const { return Utf8(panel1_->text()); }

void pTest::SetStatus(const std::string& text) { panel1_->setText(UiText(text)); }

void pTest::ShowMessageBox(const std::string& text, const std::optional<std::string>& title, MsgIcon icon) {
  ShowMessage(text, title.value_or(kAppTitle), icon);
}

int pTest::AuthTicked() const { return Check1->isChecked() ? 1 : 0; }
std::string pTest::TargetHostText() const { return Utf8(Text5->text()); }
std::string pTest::TargetPortText() const { return Utf8(Text6->text()); }
std::string pTest::UserText() const { return Utf8(Text3->text()); }
std::string pTest::PasswordText() const { return Utf8(Text4->text()); }
void pTest::SendBytes(const Bytes& bytes) { Winsock1_->SendBytes(bytes); }
void pTest::SendText(const std::string& text) { Winsock1_->SendText(text); }
void pTest::Close() { Winsock1_->CloseSck(); }

}  // namespace mivo
