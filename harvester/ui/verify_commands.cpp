// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "verify_commands.h"

#include <QAction>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QSpinBox>

#include <qt6keychain/keychain.h>

#include "common/ui/widgets.h"
#include "harvester/connection_tester.h"
#include "harvester/status_texts.h"
#include "harvester/ui/frm_main.h"
#include "import/list_command.h"

namespace mivo {
namespace {

constexpr const char* kKeychainService = "mivoproxy";
constexpr const char* kKeychainKey = "verify-password";
constexpr const char* kPasswordRunOnly = "密码仅本次运行有效: ";

QAction* InsertCommand(QMenu& menu, QAction* before, const char* name, const char* caption) {
  auto* action = new QAction(UiText(caption), &menu);
  action->setObjectName(name);
  menu.insertAction(before, action);
  return action;
}

}  // namespace

VerifyCommands::VerifyCommands(frmMain& window, ConnectionTester& walk, QWidget& settingsPanel)
    : QObject(&window), window_(window), walk_(walk), verification_(window), file_(importer::ListSourcesFile()) {
  auto* menu = window.findChild<QMenu*>("setpromenu");
  QAction* stop = window.findChild<QAction*>("stopTest");
  if (menu && stop) {
    connect(InsertCommand(*menu, stop, "verifyAll", "验证所有"), &QAction::triggered, this, &VerifyCommands::VerifyAll);
    connect(InsertCommand(*menu, stop, "verifySelected", "验证选中"), &QAction::triggered, this,
            &VerifyCommands::VerifySelected);
    connect(stop, &QAction::triggered, this, &VerifyCommands::Stop);
  }
  walk_.onRunning = [this](bool) { ShowRunning(); };
  verification_.onRunning = [this](bool) { ShowRunning(); };
  BuildSettings(settingsPanel);
  ReadPassword();
}

void VerifyCommands::ShowRunning() {
  if (QAction* stop = window_.findChild<QAction*>("stopTest")) stop->setEnabled(walk_.Running() || Running());
}

void VerifyCommands::BuildSettings(QWidget& panel) {
  // The list sources move below the export frame's row of verification
  // ticks and give up some of their height to the verification's box.
  if (auto* label = panel.findChild<QLabel*>("Label4")) label->move(Twips(4725), Twips(1920));
  if (auto* sources = panel.findChild<QPlainTextEdit*>("listSources"))
    sources->setGeometry(TwipsRect(4725, 2160, 4965, 600));
  auto* box = new QGroupBox(UiText("验证设置"), &panel);
  box->setObjectName("verifySettings");
  box->setGeometry(TwipsRect(4725, 2820, 4965, 2160));
  auto* grid = new QGridLayout(box);
  grid->setContentsMargins(4, 2, 4, 2);
  grid->setVerticalSpacing(1);
  const auto label = [box](const char* text) { return new QLabel(UiText(text), box); };
  const auto line = [box](const char* name) {
    auto* edit = new QLineEdit(box);
    edit->setObjectName(name);
    return edit;
  };
  judges_ = new QPlainTextEdit(box);
  judges_->setObjectName("verifyJudges");
  judges_->setLineWrapMode(QPlainTextEdit::NoWrap);
  judges_->setPlaceholderText(UiText("裁判网址, 每行一个"));
  url_ = line("verifyUrl");
  expect_ = line("verifyExpect");
  user_ = line("verifyUser");
  password_ = line("verifyPassword");
  password_->setEchoMode(QLineEdit::Password);
  timeout_ = new QSpinBox(box);
  timeout_->setObjectName("verifyTimeout");
  timeout_->setRange(1, 600);
  concurrency_ = new QSpinBox(box);
  concurrency_->setObjectName("verifyConcurrency");
  concurrency_->setRange(1, 65535);
  passwordNote_ = new QLabel(box);
  passwordNote_->setObjectName("verifyPasswordNote");

  grid->addWidget(label("裁判:"), 0, 0);
  grid->addWidget(judges_, 0, 1, 1, 3);
  grid->addWidget(label("网址:"), 1, 0);
  grid->addWidget(url_, 1, 1);
  grid->addWidget(label("应含:"), 1, 2);
  grid->addWidget(expect_, 1, 3);
  grid->addWidget(label("用户:"), 2, 0);
  grid->addWidget(user_, 2, 1);
  grid->addWidget(label("密码:"), 2, 2);
  grid->addWidget(password_, 2, 3);
  grid->addWidget(label("超时(秒):"), 3, 0);
  grid->addWidget(timeout_, 3, 1);
  grid->addWidget(label("并发:"), 3, 2);
  grid->addWidget(concurrency_, 3, 3);
  grid->addWidget(passwordNote_, 4, 0, 1, 4);
  grid->setRowStretch(0, 1);  // the judges' box takes what the lines leave

  const VerifySettings kept = LoadVerifySettings(file_);
  loading_ = true;
  QStringList judges;
  for (const std::string& j : kept.judges) judges << UiText(j);
  judges_->setPlainText(judges.join('\n'));
  url_->setText(UiText(kept.url));
  expect_->setText(UiText(kept.expect));
  user_->setText(UiText(kept.user));
  timeout_->setValue(kept.timeoutSeconds);
  concurrency_->setValue(kept.concurrency);
  loading_ = false;

  connect(judges_, &QPlainTextEdit::textChanged, this, &VerifyCommands::Save);
  for (QLineEdit* edit : {url_, expect_, user_}) connect(edit, &QLineEdit::textChanged, this, &VerifyCommands::Save);
  for (QSpinBox* spin : {timeout_, concurrency_}) connect(spin, &QSpinBox::valueChanged, this, &VerifyCommands::Save);
  connect(password_, &QLineEdit::editingFinished, this, &VerifyCommands::WritePassword);
}

VerifySettings VerifyCommands::Settings() const {
  VerifySettings s;
  for (const QString& line : judges_->toPlainText().split('\n'))
    if (!line.trimmed().isEmpty()) s.judges.push_back(Utf8(line.trimmed()));
  s.url = Utf8(url_->text().trimmed());
  s.expect = Utf8(expect_->text());
  s.user = Utf8(user_->text());
  s.password = Utf8(password_->text());
  s.timeoutSeconds = timeout_->value();
  s.concurrency = concurrency_->value();
  return s;
}

void VerifyCommands::Save() {
  if (loading_) return;
  if (!SaveVerifySettings(file_, Settings())) window_.SetPanel(kStatusPanel, "验证设置未能保存到 " + Utf8(file_));
}

void VerifyCommands::ReadPassword() {
  auto* job = new QKeychain::ReadPasswordJob(QString::fromUtf8(kKeychainService), this);
  job->setKey(QString::fromUtf8(kKeychainKey));
  connect(job, &QKeychain::Job::finished, this, [this, job] {
    if (job->error() == QKeychain::NoError) {
      // A password typed while the store was asked wins.
      if (password_->text().isEmpty()) password_->setText(job->textData());
    } else if (job->error() != QKeychain::EntryNotFound) {
      PasswordForRunOnly(job->errorString());
    }
  });
  job->start();
}

void VerifyCommands::WritePassword() {
  auto* job = new QKeychain::WritePasswordJob(QString::fromUtf8(kKeychainService), this);
  job->setKey(QString::fromUtf8(kKeychainKey));
  job->setTextData(password_->text());
  connect(job, &QKeychain::Job::finished, this, [this, job] {
    if (job->error() != QKeychain::NoError) PasswordForRunOnly(job->errorString());
  });
  job->start();
}

void VerifyCommands::PasswordForRunOnly(const QString& why) {
  // One line in the panel; why the store failed is in the tooltip.
  passwordNote_->setText(UiText(kPasswordRunOnly) + UiText("没有可用的密钥存储"));
  passwordNote_->setToolTip(why);
}

void VerifyCommands::VerifyAll() {
  std::vector<int> rows(static_cast<std::size_t>(window_.Rows().Count()));
  for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<int>(i) + 1;
  Verify(std::move(rows));
}

void VerifyCommands::VerifySelected() {
  const int row = window_.SelectedRow();
  Verify(row == 0 ? std::vector<int>{} : std::vector<int>{row});
}

void VerifyCommands::Verify(std::vector<int> rows) {
  if (walk_.Running()) walk_.Stop();
  verification_.Start(std::move(rows), Settings());
}

}  // namespace mivo
