// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "import_commands.h"

#include <QApplication>
#include <QClipboard>
#include <QDropEvent>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>

#include "common/ui/widgets.h"
#include "harvester/status_texts.h"
#include "harvester/ui/frm_main.h"
#include "import/sources.h"

namespace mivo {

ImportCommands::ImportCommands(frmMain& window, QTableView& list, QWidget& settingsPanel)
    : QObject(&window), window_(window), list_(list), sourcesFile_(importer::ListSourcesFile()) {
  if (QMenu* get = window.findChild<QMenu*>("Getaddress")) {
    get->addSeparator()->setObjectName("Fgx3");
    QAction* importList = get->addAction(UiText("导入列表..."));
    importList->setObjectName("importList");
    connect(importList, &QAction::triggered, this, &ImportCommands::ImportList);
    QAction* all = get->addAction(UiText("获取所有列表源"));
    all->setObjectName("importAll");
    connect(all, &QAction::triggered, this, &ImportCommands::ImportAllListSources);
  }

  NewLabel(&settingsPanel, "Label4", "列表源 (每行一个网址):", TwipsRect(4725, 1395, 4965, 240));
  sources_ = new QPlainTextEdit(&settingsPanel);
  sources_->setObjectName("listSources");
  sources_->setGeometry(TwipsRect(4725, 1680, 4965, 2640));
  sources_->setLineWrapMode(QPlainTextEdit::NoWrap);
  QStringList lines;
  for (const std::string& s : importer::LoadListSources(sourcesFile_)) lines << QString::fromStdString(s);
  sources_->setPlainText(lines.join('\n'));
  connect(sources_, &QPlainTextEdit::textChanged, this, [this] {
    std::vector<std::string> sources;
    for (const QString& line : sources_->toPlainText().split('\n'))
      if (!line.trimmed().isEmpty()) sources.push_back(Utf8(line.trimmed()));
    if (!importer::SaveListSources(sourcesFile_, sources))
      window_.SetPanel(kStatusPanel, "列表源未能保存到 " + Utf8(sourcesFile_));
  });

  list_.setAcceptDrops(true);
  viewport_ = list_.viewport();
  viewport_->setAcceptDrops(true);
  viewport_->installEventFilter(this);
}

void ImportCommands::ImportList() {
  QMessageBox box(QMessageBox::Question, UiText(kAppTitle), UiText("从哪里导入代理列表?"), QMessageBox::Cancel,
                  &window_);
  QPushButton* files = box.addButton(UiText("文件..."), QMessageBox::AcceptRole);
  QPushButton* url = box.addButton(UiText("网址..."), QMessageBox::AcceptRole);
  QPushButton* clipboard = box.addButton(UiText("剪贴板"), QMessageBox::AcceptRole);
  box.button(QMessageBox::Cancel)->setText(UiText("取消"));
  box.exec();
  if (box.clickedButton() == files) {
    std::vector<std::string> paths;
    for (const QString& f : QFileDialog::getOpenFileNames(&window_, UiText("导入列表"))) paths.push_back(Utf8(f));
    if (!paths.empty()) ImportSources(paths);
  } else if (box.clickedButton() == url) {
    QInputDialog ask(&window_);
    ask.setWindowTitle(UiText("导入列表"));
    ask.setLabelText(UiText("列表网址:"));
    ask.setOkButtonText(UiText("确定"));
    ask.setCancelButtonText(UiText("取消"));
    const QString address = ask.exec() == QDialog::Accepted ? ask.textValue().trimmed() : QString();
    if (!address.isEmpty()) ImportSources({Utf8(address)});
  } else if (box.clickedButton() == clipboard) {
    ImportText("剪贴板", Utf8(QApplication::clipboard()->text()));
  }
}

void ImportCommands::ImportSources(const std::vector<std::string>& sources) {
  importer::ListImporter im;
  window_.SetPanel(kStatusPanel, kTextFetching);
  importer::ImportSources(im, window_, sources);
  Finish(im);
}

void ImportCommands::ImportText(const std::string& name, const std::string& bytes) {
  importer::ListImporter im;
  im.Begin(name);
  // In pieces, with the event loop turning between them.
  constexpr std::size_t kPiece = 256 * 1024;
  for (std::size_t at = 0; at < bytes.size(); at += kPiece) {
    window_.SetProgress(static_cast<int>(at / kPiece), static_cast<int>(bytes.size() / kPiece) + 1);
    im.Feed(std::string_view(bytes).substr(at, kPiece));
    window_.DoEvents();
  }
  window_.SetProgress(0, 0);
  im.End();
  Finish(im);
}

void ImportCommands::ImportAllListSources() {
  std::vector<std::string> sources;
  for (const QString& line : sources_->toPlainText().split('\n'))
    if (!line.trimmed().isEmpty()) sources.push_back(Utf8(line.trimmed()));
  if (sources.empty()) {
    window_.SetPanel(kStatusPanel, "没有列表源: 请在程序设置中填写列表网址");
    return;
  }
  ImportSources(sources);
}

void ImportCommands::Finish(importer::ListImporter& im) {
  if (im.Rows().empty()) {
    window_.SetPanel(kStatusPanel, importer::ImportStatusText(im));
    return;
  }
  const std::optional<importer::ListMerge> merge =
      window_.Rows().Count() == 0 ? importer::ListMerge::Replace : (askMerge ? askMerge() : AskMerge());
  if (!merge) return;
  importer::PutIntoList(window_, im, *merge);
}

std::optional<importer::ListMerge> ImportCommands::AskMerge() {
  QMessageBox box(QMessageBox::Question, UiText(kAppTitle), UiText("替换现有列表, 还是追加到列表后面?"),
                  QMessageBox::Cancel, &window_);
  QPushButton* replace = box.addButton(UiText("替换"), QMessageBox::AcceptRole);
  QPushButton* append = box.addButton(UiText("追加"), QMessageBox::AcceptRole);
  box.button(QMessageBox::Cancel)->setText(UiText("取消"));
  box.exec();
  if (box.clickedButton() == replace) return importer::ListMerge::Replace;
  if (box.clickedButton() == append) return importer::ListMerge::Append;
  return std::nullopt;
}

bool ImportCommands::eventFilter(QObject* watched, QEvent* event) {
  if (watched != viewport_) return false;
  switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
      auto* drag = static_cast<QDropEvent*>(event);
      if (!drag->mimeData()->hasUrls() && !drag->mimeData()->hasText()) return false;
      drag->acceptProposedAction();
      return true;
    }
    case QEvent::Drop: {
      const QMimeData* data = static_cast<QDropEvent*>(event)->mimeData();
      std::vector<std::string> files;
      for (const QUrl& url : data->urls())
        if (url.isLocalFile()) files.push_back(Utf8(url.toLocalFile()));
      static_cast<QDropEvent*>(event)->acceptProposedAction();
      // After the drop has ended: the import may ask a question.
      QMetaObject::invokeMethod(
          this,
          [this, files, text = Utf8(data->text())] {
            if (!files.empty())
              ImportSources(files);
            else
              ImportText("拖放的文本", text);
          },
          Qt::QueuedConnection);
      return true;
    }
    default: return false;
  }
}

}  // namespace mivo
