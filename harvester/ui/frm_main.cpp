// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "frm_main.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMouseEvent>
#include <QProgressBar>
#include <QStatusBar>
#include <QTableView>

#include <algorithm>
#include <cstdlib>

#include "common/ui/widgets.h"
#include "harvester/list_export.h"
#include "harvester/page_download.h"
#include "harvester/proxy_switch.h"
#include "harvester/status_texts.h"
#include "harvester/ui/import_commands.h"
#include "harvester/ui/list_view_filter.h"
#include "harvester/ui/verify_commands.h"
#include "ping/sockets_check.h"
#include "tunnel/ui/p_test.h"

namespace mivo {
namespace {

constexpr int kClientWidth = 9825;
constexpr int kListHeight = 5010;
constexpr int kPanel1Width = 2540;
constexpr int kPanel2MinWidth = 2540;
constexpr int kSettingsTopOffset = -90;

struct ListPageMenuItem {
  const char* name;
  const char* caption;
  int box;
};

constexpr std::array<ListPageMenuItem, kPageAddressCount> kListPageItems{{
    {"http1", "Http代理 1", 0},
    {"http2", "Http代理 2", 1},
    {"http3", "Http代理 3", 2},
    {"http4", "Http代理 4", 3},
    {"http5", "Http代理 5", 4},
    {"http6", "Http代理 6", 5},
    {"http7", "Http代理 7", 6},
    {"http8", "Http代理 8", 7},
    {"http9", "Http代理 9", 8},
    {"http10", "Http代理 10", 9},
    {"jywdl1", "教育网代理1", 10},
    {"jywdl2", "教育网代理1", 11},
}};

constexpr std::array<const char*, kPageAddressCount> kAddressLabels{
    "Http1:", "Http2:", "Http3:", "Http4:",  "Http5:",   "Http6:",
    "Http7:", "Http8:", "Http9:", "Http10:", "教育网1:", "教育网2:",
};

struct CheckBoxLayout {
  const char* name;
  const char* caption;
  int left, width;
  bool ticked;
};

constexpr std::array<CheckBoxLayout, 4> kExportChecks{{
    {"Ck1", "IP地址", 180, 870, true},
    {"Ck2", "端口", 1485, 735, true},
    {"Ck3", "类型", 2700, 735, false},
    {"Ck4", "地址", 3960, 690, false},
}};

// The export frame grows by a row for the verification's columns.
constexpr int kVerifyTicksHeight = 570;

constexpr std::array<const char*, 6> kSeparators{"-", "--", "---", "----", ":", "|"};

}  // namespace

frmMain::frmMain(QWidget* parent) : QMainWindow(parent), Wsktest_(*this) {
  setObjectName("frmMain");
  setWindowTitle(UiText("Mivo proxy ver1.0"));
  setWindowIcon(AppIcon());

  client_ = new QWidget(this);
  client_->setObjectName("client");
  setCentralWidget(client_);

  BuildList();
  BuildFilterBar();
  BuildSettingsPanel();
  BuildMenus();
  new ImportCommands(*this, *Lw1, *F1);
  verify_ = new VerifyCommands(*this, Wsktest_, *F1);
  client_->installEventFilter(this);
  Lw1->viewport()->installEventFilter(this);
  BuildStatusBar();

  resize(Twips(kClientWidth), Twips(kListHeight) + filterBar_->sizeHint().height() + menuBar()->sizeHint().height() +
                                  statusBar()->sizeHint().height());
  CentreOnScreen(*this);

  // Load: the sockets-layer check's result does not stop the window.
  CheckSocketsLayer();
  SetPanel(kListPanel, kTextLoaded);
  prolist();
}

frmMain::~frmMain() = default;

void frmMain::BuildList() {
  Lw1 = new QTableView(client_);
  Lw1->setObjectName("Lw1");
  shown_ = new ListViewFilter(rows_, this);
  Lw1->setModel(shown_);
  Lw1->setSelectionBehavior(QAbstractItemView::SelectRows);
  Lw1->setSelectionMode(QAbstractItemView::SingleSelection);
  Lw1->setEditTriggers(QAbstractItemView::NoEditTriggers);

  Lw1->setShowGrid(false);
  Lw1->setWordWrap(false);
  Lw1->verticalHeader()->hide();
  // Fixed row heights keep large lists cheap to lay out.
  Lw1->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  Lw1->verticalHeader()->setDefaultSectionSize(Lw1->fontMetrics().height() + 4);
  Lw1->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  // Unsorted until a header is clicked: the rows keep the page's order.
  Lw1->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
  Lw1->setSortingEnabled(true);
  for (int c = 0; c < kShownColumns; ++c) Lw1->setColumnWidth(c, Twips(ShownLayout(c).widthTwips));
}

void frmMain::BuildFilterBar() {
  filterBar_ = new QWidget(client_);
  filterBar_->setObjectName("filterBar");
  auto* box = new QLineEdit(filterBar_);
  box->setObjectName("filterBox");
  box->setPlaceholderText(UiText("筛选"));
  box->setClearButtonEnabled(true);
  auto* quick = new QComboBox(filterBar_);
  quick->setObjectName("filterQuick");
  for (const QuickChoice& choice : kQuickChoices) quick->addItem(UiText(choice.caption));
  auto* row = new QHBoxLayout(filterBar_);
  row->setContentsMargins(0, 0, 0, 0);
  row->addWidget(box, 1);
  row->addWidget(quick);
  connect(box, &QLineEdit::textChanged, this, [this](const QString& text) { shown_->SetText(Utf8(text)); });
  connect(quick, &QComboBox::currentIndexChanged, this, [this](int choice) { shown_->SetQuick(choice); });
}

void frmMain::BuildStatusBar() {
  auto* bar = new QStatusBar(this);
  bar->setObjectName("Stb1");
  bar->setSizeGripEnabled(true);
  panel1_ = new QLabel(bar);
  panel1_->setObjectName("Stb1Panel1");
  panel1_->setFixedWidth(Twips(kPanel1Width));
  panel2_ = new QLabel(bar);
  panel2_->setObjectName("Stb1Panel2");
  panel2_->setMinimumWidth(Twips(kPanel2MinWidth));
  progress_ = new QProgressBar(bar);
  progress_->setObjectName("progress");
  progress_->setFormat("%v / %m");
  // Room for "300000 / 300000" on one line.
  progress_->setMinimumWidth(progress_->fontMetrics().horizontalAdvance("0000000 / 0000000") + 24);
  progress_->hide();
  bar->addWidget(panel1_);
  bar->addWidget(panel2_, 1);
  bar->addPermanentWidget(progress_);
  setStatusBar(bar);
}

void frmMain::BuildSettingsPanel() {
  F1 = new QFrame(client_);
  F1->setObjectName("F1");
  F1->setFrameShape(QFrame::NoFrame);
  F1->setAutoFillBackground(true);

  for (int k = 0; k < kPageAddressCount; ++k) {
    NewLabel(F1, QString("Label1_%1").arg(k), kAddressLabels[static_cast<std::size_t>(k)],
             TwipsRect(90, 315 + 360 * k, 800, 180 + 60));
    Text1[static_cast<std::size_t>(k)] = NewLineEdit(F1, QString("Text1_%1").arg(k), DefaultPageAddress(k),
                                                     TwipsRect(900, 270 + 360 * k, 3660, 270 + 30));
  }

  auto* frame = new QGroupBox(UiText("导出设置"), F1);
  frame->setObjectName("Frame1");
  frame->setGeometry(TwipsRect(4725, 180, 4965, 1095 + kVerifyTicksHeight));
  for (std::size_t i = 0; i < kExportChecks.size(); ++i) {
    const CheckBoxLayout& check = kExportChecks[i];
    auto* box = new QCheckBox(UiText(check.caption), frame);
    box->setObjectName(check.name);
    box->setGeometry(TwipsRect(check.left, 315, check.width + 120, 240));
    box->setChecked(check.ticked);
    Ck[i + 1] = box;
  }
  // The verification's columns on rows of their own, unticked: a default
  // export stays as it was.
  constexpr int kVerifyTickWidth = 1560, kVerifyTicksPerRow = 3;
  for (int i = 0; i + 5 < kExportBoxes; ++i) {
    auto* box = new QCheckBox(UiText(ShownLayout(kProxyColumns + i).caption), frame);
    box->setObjectName(QString("Ck%1").arg(i + 5));
    box->setGeometry(TwipsRect(180 + kVerifyTickWidth * (i % kVerifyTicksPerRow), 1080 + 240 * (i / kVerifyTicksPerRow),
                               kVerifyTickWidth, 240));
    Ck[static_cast<std::size_t>(i + 5)] = box;
  }
  // The address is always exported, so its box only shows that.
  Ck[1]->setEnabled(false);

  NewLabel(frame, "Label2", "隔离符号:", TwipsRect(180, 765, 810 + 120, 180 + 60));
  Combo1 = new QComboBox(frame);
  Combo1->setObjectName("Combo1");
  Combo1->setEditable(true);
  for (const char* s : kSeparators) Combo1->addItem(UiText(s));
  Combo1->setCurrentText(UiText("--"));
  Combo1->setGeometry(TwipsRect(1170, 675, 1185, 300 + 30));
  NewLabel(frame, "Label3", "127.0.0.1--80--中国--0", TwipsRect(2565, 720, 2220, 240));
}

QAction* frmMain::AddCommand(QMenu* menu, const char* name, const char* caption) {
  QAction* action = menu->addAction(UiText(caption));
  action->setObjectName(name);
  return action;
}

void frmMain::AddSeparator(QMenu* menu, const char* name) { menu->addSeparator()->setObjectName(name); }

void frmMain::BuildMenus() {
  QMenu* get = menuBar()->addMenu(UiText("获取地址"));
  get->setObjectName("Getaddress");
  for (std::size_t i = 0; i < kListPageItems.size(); ++i) {
    const ListPageMenuItem& item = kListPageItems[i];
    if (item.box == 10) AddSeparator(get, "Fgx0");
    connect(AddCommand(get, item.name, item.caption), &QAction::triggered, this,
            [this, box = item.box] { ListPageCommand(*this, box); });
  }

  setpromenu = menuBar()->addMenu(UiText("设置代理"));
  setpromenu->setObjectName("setpromenu");
  connect(AddCommand(setpromenu, "setPro", "设为代理"), &QAction::triggered, this, [this] { setPro(*this); });
  connect(AddCommand(setpromenu, "closePro", "关闭代理"), &QAction::triggered, this, [this] { closePro(*this); });
  AddSeparator(setpromenu, "Fgx1");
  connect(AddCommand(setpromenu, "Ptst", "代理测试"), &QAction::triggered, this, [this] { Ptst(); });
  connect(AddCommand(setpromenu, "conTest", "测试选中"), &QAction::triggered, this, [this] {
    verify_->Stop();
    Wsktest_.conTest();
  });
  connect(AddCommand(setpromenu, "testall", "测试所有"), &QAction::triggered, this, [this] {
    verify_->Stop();
    Wsktest_.testall();
  });
  QAction* stop = AddCommand(setpromenu, "stopTest", "停止");
  stop->setEnabled(false);
  connect(stop, &QAction::triggered, this, [this] { Wsktest_.Stop(); });
  AddSeparator(setpromenu, "Fgx2");
  connect(AddCommand(setpromenu, "uploadlst", "导出列表"), &QAction::triggered, this, [this] { uploadlst(*this); });

  QMenu* settings = menuBar()->addMenu(UiText("程序设置"));
  settings->setObjectName("Setmenu");
  connect(AddCommand(settings, "Meset1", "程序设置"), &QAction::triggered, this, [this] { Meset1(); });
  connect(AddCommand(settings, "prolist", "代理列表"), &QAction::triggered, this, [this] { prolist(); });
}

void frmMain::LayOutClient() {
  const QRect area = client_->rect();
  const int filterHeight = filterBar_->sizeHint().height();
  filterBar_->setGeometry(area.x(), area.y(), area.width(), filterHeight);
  Lw1->setGeometry(area.adjusted(0, filterHeight, 0, 0));
  F1->setGeometry(area.adjusted(0, Twips(kSettingsTopOffset), 0, 0));
}

void frmMain::Meset1() {
  F1->setVisible(true);
  Lw1->setVisible(false);
  filterBar_->setVisible(false);
}

void frmMain::prolist() {
  Lw1->setVisible(true);
  filterBar_->setVisible(true);
  F1->setVisible(false);
}

void frmMain::Ptst() {
  if (!pTest_) pTest_ = new pTest(this);
  pTest_->show();
  pTest_->raise();
  pTest_->activateWindow();
  const int row = SelectedRow();
  if (row == 0) {
    SetPanel(kStatusPanel, kTextListFirst);
    return;
  }
  pTest_->SetProxy(UiText(rows_.Text(row, ProxyColumn::Address)), UiText(rows_.Text(row, ProxyColumn::Port)));
}

int frmMain::SelectedRow() const {
  const QModelIndexList picked = Lw1->selectionModel()->selectedRows();
  // The view's row as the list model numbers it: commands act on what the user picked.
  return picked.isEmpty() ? 0 : shown_->mapToSource(picked.front()).row() + 1;
}

bool frmMain::RowShown(int n) const { return !shown_->Narrowed() || shown_->Shows(n); }

void frmMain::SetProgress(int done, int total) {
  if (total <= 0) {
    progress_->hide();
    return;
  }
  // The bar repaints at once whenever its text changes: a walk over 100,000
  // rows would repaint it for every row, so it moves in steps of 1/200.
  const int step = std::max(1, total / 200);
  if (progress_->isVisible() && total == progress_->maximum() && done != total &&
      std::abs(done - progress_->value()) < step)
    return;
  progress_->setMaximum(total);
  progress_->setValue(done);
  progress_->show();
}

void frmMain::SetPanel(int panel, const std::string& text) {
  (panel == kListPanel ? panel1_ : panel2_)->setText(UiText(text));
}

std::string frmMain::Panel(int panel) const { return Utf8((panel == kListPanel ? panel1_ : panel2_)->text()); }

std::string frmMain::AddressText(int k) const { return Utf8(Text1.at(static_cast<std::size_t>(k))->text()); }

bool frmMain::ExportTicked(int ck) const { return Ck.at(static_cast<std::size_t>(ck))->isChecked(); }

std::string frmMain::Separator() const { return Utf8(Combo1->currentText()); }

void frmMain::DoEvents() { QCoreApplication::processEvents(); }

bool frmMain::eventFilter(QObject* watched, QEvent* event) {
  if (watched == client_ && event->type() == QEvent::Resize) {
    LayOutClient();
  } else if (watched == Lw1->viewport() && event->type() == QEvent::MouseButtonRelease) {
    const auto* mouse = static_cast<QMouseEvent*>(event);
    if (mouse->button() == Qt::RightButton) setpromenu->popup(mouse->globalPosition().toPoint());
  }
  return QMainWindow::eventFilter(watched, event);
}

void frmMain::closeEvent(QCloseEvent* event) {
  ReleaseSocketsLayer();
  event->accept();
  QCoreApplication::quit();
}

}  // namespace mivo
