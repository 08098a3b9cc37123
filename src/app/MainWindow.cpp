#include "app/MainWindow.h"

#include <QAbstractTableModel>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollBar>
#include <QSortFilterProxyModel>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTableView>
#include <QToolBar>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <iostream>

#include "app/Fields.h"
#include "common/DateTime.h"

namespace trelvo {

// The inspection grid as the table view reads it: row 0 of the grid is the
// header, the rest are the view's rows.
class TGridModel : public QAbstractTableModel {
 public:
  TGridModel(const TStringGridData& grid, QObject* parent) : QAbstractTableModel(parent), Grid_(grid) {}
  int rowCount(const QModelIndex& parent = {}) const override {
    return parent.isValid() ? 0 : std::max(Grid_.RowCount() - 1, 0);
  }
  int columnCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : Grid_.ColCount(); }
  QVariant data(const QModelIndex& index, int role) const override {
    if (role != Qt::DisplayRole || !index.isValid()) return {};
    return QString::fromStdString(Grid_.Cell(index.column(), index.row() + 1));
  }
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
    if (orientation != Qt::Horizontal) return {};
    if (role == Qt::TextAlignmentRole) return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
    if (role != Qt::DisplayRole || Grid_.RowCount() < 1) return {};
    return QString::fromStdString(Grid_.Cell(section, 0));
  }
  void Reset() {
    beginResetModel();
    endResetModel();
  }

 private:
  const TStringGridData& Grid_;
};

namespace {

// The package dialog's name box holds a mask such as "Zuze*.Zip" at first;
// while it holds one, only the files that match it are listed, so the
// operator sees his own group's packages first.
class TMaskProxy : public QSortFilterProxyModel {
 public:
  explicit TMaskProxy(QObject* parent) : QSortFilterProxyModel(parent) {}
  void SetMask(const QString& text) {
    const QString mask = text.trimmed();
    const bool wild = mask.contains('*') || mask.contains('?');
    const QString pattern = wild ? QRegularExpression::wildcardToRegularExpression(mask) : QString();
    if (pattern == Mask_.pattern()) return;
    Mask_ = QRegularExpression(pattern, QRegularExpression::CaseInsensitiveOption);
    invalidateFilter();
  }

 protected:
  bool filterAcceptsRow(int row, const QModelIndex& parent) const override {
    if (Mask_.pattern().isEmpty()) return true;
    const QModelIndex index = sourceModel()->index(row, 0, parent);
    if (auto* files = qobject_cast<QFileSystemModel*>(sourceModel()); files && files->isDir(index)) return true;
    return Mask_.match(index.data().toString()).hasMatch();
  }

 private:
  QRegularExpression Mask_;
};

constexpr int kDesignWidth = 674, kDesignHeight = 392;
constexpr const char* kWorkInProgress = "Pakkaus käynnissä, odota...";

QString Q(const std::string& s) { return QString::fromStdString(s); }
std::string S(const QString& s) { return s.toStdString(); }

QFont UiFont() {
  QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  font.setPointSize(8);
  return font;
}

// The program's icon: two arrows, up and down, on a blue tile.
QIcon ProgramIcon() {
  QIcon icon;
  for (int size : {16, 22, 32, 48}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x1f, 0x5f, 0x9f));
    p.drawRoundedRect(QRectF(0.5, 0.5, size - 1, size - 1), size / 6.0, size / 6.0);
    p.setBrush(Qt::white);
    const double s = size / 16.0;
    QPainterPath up, down;
    up.moveTo(4.5 * s, 2.5 * s);
    up.lineTo(7.5 * s, 6.5 * s);
    up.lineTo(5.5 * s, 6.5 * s);
    up.lineTo(5.5 * s, 13.5 * s);
    up.lineTo(3.5 * s, 13.5 * s);
    up.lineTo(3.5 * s, 6.5 * s);
    up.lineTo(1.5 * s, 6.5 * s);
    up.closeSubpath();
    down.moveTo(11.5 * s, 13.5 * s);
    down.lineTo(14.5 * s, 9.5 * s);
    down.lineTo(12.5 * s, 9.5 * s);
    down.lineTo(12.5 * s, 2.5 * s);
    down.lineTo(10.5 * s, 2.5 * s);
    down.lineTo(10.5 * s, 9.5 * s);
    down.lineTo(8.5 * s, 9.5 * s);
    down.closeSubpath();
    p.drawPath(up);
    p.drawPath(down);
    p.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

QDate ToQDate(TDateTime value) {
  TDateParts p = DecodeDateTime(value);
  return QDate(p.Year, p.Month, p.Day);
}

QTime ToQTime(TDateTime value) {
  TDateParts p = DecodeDateTime(value);
  return QTime(p.Hour, p.Minute);
}

}  // namespace

TfrmTrelvo::TfrmTrelvo(const TOptions& options) : Options_(options) {
  Core_ = std::make_unique<TTrelvoCore>(options.HomeDir, this, options.Clock);
  Transfer_ = std::make_unique<TTransfer>(*Core_, options.Closer);

  setObjectName("frmTrelvo");
  setWindowTitle("Trelvo-serveri");
  setWindowIcon(ProgramIcon());
  setFont(UiFont());
  setContextMenuPolicy(Qt::NoContextMenu);
  resize(kDesignWidth, kDesignHeight);

  BuildToolbar();
  PageControl_ = new QTabWidget(this);
  PageControl_->setObjectName("PageControl");
  PageControl_->addTab(BuildMonitorPage(), "Seuranta");
  PageControl_->addTab(BuildInspectionPage(), "Tarkistus");
  PageControl_->addTab(BuildSettingsPage(), "Asetukset");
  PageControl_->setCurrentIndex(0);
  setCentralWidget(PageControl_);

  Panel0_ = new QLabel(this);
  Panel0_->setObjectName("StatusPanel0");
  Panel0_->setFixedWidth(400);
  Panel1_ = new QLabel(this);
  Panel1_->setObjectName("StatusPanel1");
  Panel1_->setMinimumWidth(50);
  for (QLabel* panel : {Panel0_, Panel1_}) panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  statusBar()->addWidget(Panel0_);
  statusBar()->addWidget(Panel1_, 1);

  TimerRun_.setObjectName("TimerRun");
  // The next tick comes a whole interval after the last one ended, not
  // whenever a coarse timer finds it convenient.
  TimerRun_.setTimerType(Qt::PreciseTimer);
  connect(&TimerRun_, &QTimer::timeout, this, &TfrmTrelvo::TimerRunTimer);

  if (Options_.Interactive) {
    Core_->DbModule.ServerSelector = &ServerSelector_;
    BuildTray();
  }
}

TfrmTrelvo::~TfrmTrelvo() {
  Destroying_ = true;
  TimerRun_.stop();
  Core_->DbModule.ServerSelector = nullptr;
  Transfer_.reset();
  Core_.reset();
}

// ---- building the window ----

void TfrmTrelvo::BuildToolbar() {
  QToolBar* bar = addToolBar("Toolbar");
  bar->setObjectName("ToolBar");
  bar->setMovable(false);
  bar->setFloatable(false);
  bar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  bar->toggleViewAction()->setVisible(false);
  auto add = [&](const char* name, QStyle::StandardPixmap pixmap, const char* tip, const char* status, auto slot) {
    QAction* action = bar->addAction(style()->standardIcon(pixmap), tip);
    action->setObjectName(name);
    action->setToolTip(tip);
    action->setStatusTip(status);
    connect(action, &QAction::triggered, this, slot);
    if (QWidget* button = bar->widgetForAction(action)) button->setObjectName(name);
    return action;
  };
  SBSend_ = add("SBSend", QStyle::SP_ArrowUp, "Lähetä", "Lähetä tiedot palvelimelle.", &TfrmTrelvo::SBSendClick);
  SBReceive_ = add("SBReceive", QStyle::SP_ArrowDown, "Hae tiedot", "Hae tiedot palvelimelta.", &TfrmTrelvo::SBReceiveClick);
  SBUpdate_ = add("SBUpdate", QStyle::SP_BrowserReload, "Päivitä", "Päivitä siirtämättä olevat määrät.", &TfrmTrelvo::SBUpdateClick);
  SBOpenZipFile_ = add("SBOpenZipFile", QStyle::SP_DialogOpenButton, "Avaa", "Avaa arkistotiedosto.",
                       &TfrmTrelvo::TSOpenZipFileClick);
  SBExit_ = add("SBExit", QStyle::SP_DialogCloseButton, "Lopetus", "Lopeta ohjelman käyttö.", &TfrmTrelvo::SBExitClick);
}

QLineEdit* TfrmTrelvo::Field(QWidget* parent, const char* name, const char* statusTip, bool readOnly) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(name);
  if (statusTip) edit->setStatusTip(statusTip);
  edit->setReadOnly(readOnly);
  Fields_[name] = edit;
  return edit;
}

QWidget* TfrmTrelvo::BuildMonitorPage() {
  auto* page = new QWidget;
  page->setObjectName("TabSeuranta");
  auto* layout = new QHBoxLayout(page);
  layout->setContentsMargins(4, 4, 4, 4);

  auto* panel = new QGroupBox("Siirtämättä", page);
  panel->setObjectName("PanelSiirtamatta");
  panel->setFixedWidth(230);
  auto* form = new QFormLayout(panel);
  form->setContentsMargins(6, 4, 6, 4);
  form->setVerticalSpacing(3);
  form->addRow("Asiakkaat", Field(panel, "EdtAsiKpl", "Siirrettävien asiakastietojen lukumäärä."));
  form->addRow("Kortit", Field(panel, "EdtKoKpl", "Siirrettävien korttitietojen lukumäärä."));
  form->addRow("Tilasto", Field(panel, "EdtTiKpl", "Siirrettävien tilastotietojen lukumäärä."));
  form->addRow("Lähetetty", Field(panel, "EdtSend", "Viimeksi lähetetty aineisto."));
  form->addRow("Vastaanotettu", Field(panel, "EdtRecv", "Viimeksi vastaanotettu aineisto."));
  form->addRow("Mode", Field(panel, "EdtMode", "Toimintamoodi"));
  form->addRow("Aikalaskuri", Field(panel, "EdtNyt", "Aika, jolloin viimeksi tarkastettu siirtoajat."));
  form->addRow("Siirretty", Field(panel, "EdtSiirretty", nullptr));
  ProgressMeter_ = new QProgressBar(panel);
  ProgressMeter_->setObjectName("ProgressMeter");
  ProgressMeter_->setRange(0, 100);
  ProgressMeter_->setValue(0);
  ProgressMeter_->setTextVisible(true);
  ProgressMeter_->setFormat("%p%");
  form->addRow(ProgressMeter_);

  MemoLog_ = new QPlainTextEdit(page);
  MemoLog_->setObjectName("MemoLog");
  MemoLog_->setReadOnly(true);
  // A long run's whole log is in its saved file; the window keeps its tail.
  MemoLog_->setMaximumBlockCount(static_cast<int>(TMemoLog::kTail));
  MemoLog_->setLineWrapMode(QPlainTextEdit::NoWrap);
  MemoLog_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  MemoLog_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

  layout->addWidget(panel);
  layout->addWidget(MemoLog_, 1);
  return page;
}

QWidget* TfrmTrelvo::BuildInspectionPage() {
  auto* page = new QWidget;
  page->setObjectName("TabTarkistus");
  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(4, 4, 4, 4);
  auto* top = new QHBoxLayout;
  top->addWidget(new QLabel("Taulu", page));
  CBoxTaulu_ = new QComboBox(page);
  CBoxTaulu_->setObjectName("CBoxTaulu");
  CBoxTaulu_->setEditable(false);
  for (const std::string& name : InspectionTableNames()) CBoxTaulu_->addItem(Q(name));
  CBoxTaulu_->setCurrentIndex(-1);
  CBoxTaulu_->setMinimumWidth(140);
  connect(CBoxTaulu_, &QComboBox::activated, this, &TfrmTrelvo::CBoxTauluChange);
  top->addWidget(CBoxTaulu_);
  top->addStretch(1);
  layout->addLayout(top);

  SGrid_ = new QTableView(page);
  SGrid_->setObjectName("SGrid");
  GridModel_ = new TGridModel(Core_->SGrid, this);
  SGrid_->setModel(GridModel_);
  QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  mono.setPointSize(8);
  SGrid_->setFont(mono);
  SGrid_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  SGrid_->setSelectionMode(QAbstractItemView::ContiguousSelection);
  SGrid_->setSelectionBehavior(QAbstractItemView::SelectItems);
  SGrid_->setShowGrid(true);
  SGrid_->setWordWrap(false);
  QHeaderView* columns = SGrid_->horizontalHeader();
  columns->setMinimumSectionSize(8);
  columns->setDefaultSectionSize(TStringGridData::kDefaultColWidth);
  columns->setSectionResizeMode(QHeaderView::Interactive);
  columns->setHighlightSections(false);
  QHeaderView* rows = SGrid_->verticalHeader();
  rows->setMinimumSectionSize(8);
  rows->setDefaultSectionSize(TStringGridData::kDefaultRowHeight);
  rows->setSectionResizeMode(QHeaderView::Interactive);
  rows->hide();  // the grid has no fixed column
  connect(columns, &QHeaderView::sectionResized, this, [this](int col, int, int width) {
    if (!ApplyingWidths_ && !Destroying_) Core_->SGrid.SetColWidth(col, width);
  });
  layout->addWidget(SGrid_, 1);
  ApplyGridWidths();
  return page;
}

QWidget* TfrmTrelvo::BuildSettingsPage() {
  auto* page = new QWidget;
  page->setObjectName("TabAsetukset");
  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(6, 4, 6, 4);
  layout->setSpacing(3);
  auto* heading = new QLabel("Ohjelma-asetukset", page);
  QFont bold = heading->font();
  bold.setBold(true);
  heading->setFont(bold);
  layout->addWidget(heading);

  auto* columns = new QHBoxLayout;
  columns->setSpacing(12);
  layout->addLayout(columns, 1);

  auto* left = new QFormLayout;
  left->setVerticalSpacing(3);
  left->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
  ChkBoxRas_ = new QCheckBox("Ras-soitto", page);
  ChkBoxRas_->setObjectName("ChkBoxRas");
  ChkBoxRas_->setStatusTip("Käytetään Ras-yhteyttä.");
  ChkBoxRas_->installEventFilter(this);
  ChkBoxSama_ = new QCheckBox("Samat tunnukset", page);
  ChkBoxSama_->setObjectName("ChkBoxSama");
  ChkBoxSama_->setStatusTip("Ftp-yhteys käyttää Ras-yhteyden tunnuksia.");
  auto* checks = new QHBoxLayout;
  checks->addWidget(ChkBoxRas_);
  checks->addWidget(ChkBoxSama_);
  checks->addStretch(1);
  left->addRow(checks);
  CBoxRasEnt_ = new QComboBox(page);
  CBoxRasEnt_->setObjectName("CBoxRasEnt");
  CBoxRasEnt_->setStatusTip("Ras-yhteyden nimi.");
  CBoxRasEnt_->setEnabled(false);
  connect(CBoxRasEnt_, &QComboBox::activated, this, [this](int index) {
    Command([&] {
      PageToCore();
      Core_->CBoxRasEntChange(index);
      PageFromCore();
    });
  });
  left->addRow("Ras-yhteys", CBoxRasEnt_);
  left->addRow("Ftp-Palvelin", Field(page, "EdtFtpHost", "Palvelun internet-osoite.", false));
  left->addRow("Ftp-Tunnus", Field(page, "EdtFtpUser", "Palvelun käyttäjätunnus", false));
  auto* stars = new TStarPasswordStyle;
  stars->setParent(this);
  QLineEdit* ftpPw = Field(page, "EdtFtpPw", "Palvelun salasana.", false);
  left->addRow("Ftp-Salasana", ftpPw);
  left->addRow("Ftp-Hakemisto", Field(page, "EdtFtpHostDir", "Siirtohakemisto palvelinkoneella.", false));
  left->addRow("Ftp-Varmistus", Field(page, "EdtFtpBackupDir", "Varmistushakemisto palvelinkoneella.", false));
  left->addRow("Ftp-Log", Field(page, "EdtFtpLogDir", "Logihakemisto palvelinkoneella.", false));
  QLineEdit* zipPw = Field(page, "EdtZipPw", "Zip-tiedoston salasana.", false);
  left->addRow("Zip-Salasana", zipPw);
  for (QLineEdit* pw : {ftpPw, zipPw}) {
    pw->setStyle(stars);
    pw->setEchoMode(QLineEdit::Password);
  }
  columns->addLayout(left, 3);

  auto* right = new QGridLayout;
  right->setVerticalSpacing(3);
  auto nowTime = [this] { return NowTime(); };
  auto today = [this] { return Today(); };
  auto schedule = [&](int row, const char* caption, TTimeField*& time, const char* timeName, const char* timeTip,
                      TDateField*& date, const char* dateName, const char* dateTip, const char* countName,
                      QCheckBox*& check, const char* checkName, const char* checkCaption) {
    right->addWidget(new QLabel(caption, page), row, 0, 1, 3);
    time = new TTimeField(nowTime, page);
    time->setObjectName(timeName);
    if (timeTip) time->setStatusTip(timeTip);
    date = new TDateField(today, page);
    date->setObjectName(dateName);
    date->setStatusTip(dateTip);
    QLineEdit* count = Field(page, countName, "Uudelleen yritysten määrä.");
    count->setMaximumWidth(40);
    right->addWidget(time, row + 1, 0);
    right->addWidget(date, row + 1, 1);
    right->addWidget(count, row + 1, 2);
    check = new QCheckBox(checkCaption, page);
    check->setObjectName(checkName);
    right->addWidget(check, row + 2, 0, 1, 3);
  };
  schedule(0, "Tietojen vastaanotto", TimeRecv_, "TimeRecv", "Tietojen hakuaika.", DateRecv_, "DateRecv",
           "Tietojen hakupäivä.", "EdtRecvCount", ChkBoxRecv_, "ChkBoxRecv", "Vastaanota tiedostot");
  schedule(3, "Tietojen lähetys", TimeSend_, "TimeSend", nullptr, DateSend_, "DateSend", "Tietojen lähetyspäivä.",
           "EdtSendCount", ChkBoxSend_, "ChkBoxSend", "Lähetä tiedostot");
  right->addWidget(new QLabel("Master tiedosto", page), 6, 0, 1, 3);
  right->addWidget(Field(page, "EdtMaster", "Viimeksi siirretty Master-tiedosto."), 7, 0, 1, 3);
  right->setRowStretch(8, 1);
  BBtnSave_ = new QPushButton(style()->standardIcon(QStyle::SP_DialogSaveButton), "Talleta", page);
  BBtnSave_->setObjectName("BBtnSave");
  connect(BBtnSave_, &QPushButton::clicked, this, &TfrmTrelvo::BBtnSaveClick);
  right->addWidget(BBtnSave_, 9, 2, Qt::AlignRight);
  columns->addLayout(right, 2);

  // Live values: an edit takes effect at once.
  connect(TimeRecv_, &QTimeEdit::timeChanged, this,
          [this](QTime t) { Core_->Live.TimeRecv = EncodeTime(t.hour(), t.minute(), 0); });
  connect(TimeSend_, &QTimeEdit::timeChanged, this,
          [this](QTime t) { Core_->Live.TimeSend = EncodeTime(t.hour(), t.minute(), 0); });
  connect(DateRecv_, &QDateEdit::dateChanged, this,
          [this](QDate d) { Core_->Live.DateRecv = EncodeDate(d.year(), d.month(), d.day()); });
  connect(DateSend_, &QDateEdit::dateChanged, this,
          [this](QDate d) { Core_->Live.DateSend = EncodeDate(d.year(), d.month(), d.day()); });
  connect(ChkBoxRecv_, &QCheckBox::toggled, this, [this](bool on) { Core_->Live.ChkBoxRecv = on; });
  connect(ChkBoxSend_, &QCheckBox::toggled, this, [this](bool on) { Core_->Live.ChkBoxSend = on; });
  return page;
}

void TfrmTrelvo::BuildTray() {
  PopupMenu_ = new QMenu(this);
  PopupMenu_->setObjectName("PopupMenu");
  QAction* close = PopupMenu_->addAction("Sulje");
  close->setObjectName("mnuClose");
  connect(close, &QAction::triggered, this, &TfrmTrelvo::SBExitClick);
  TrayIcon_ = new QSystemTrayIcon(windowIcon(), this);
  TrayIcon_->setObjectName("TrayIcon");
  TrayIcon_->setToolTip("Trelvo");
  TrayIcon_->setContextMenu(PopupMenu_);
  connect(TrayIcon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    // Qt reports a double click of the left button; the middle button's click
    // stands in for its double click.
    if (reason == QSystemTrayIcon::DoubleClick || reason == QSystemTrayIcon::MiddleClick) ShowFromTray();
  });
  TrayIcon_->show();
}

// ---- start and end ----

void TfrmTrelvo::FormCreate() {
  Command([&] {
    if (QScreen* s = screen()) {
      if (auto rect = Core_->SavedFormPosition(static_cast<int>(std::lround(s->logicalDotsPerInch()))))
        setGeometry(rect->Left, rect->Top, rect->Right - rect->Left, rect->Bottom - rect->Top);
    }
    Panel1_->setText(Q(TTrelvoCore::VersionText()));
    Core_->StartProgram();
    Transfer_->SetTimerRunEnabled(true);
  });
  PageFromCore();
}

void TfrmTrelvo::EndProgram() {
  if (Ended_) return;
  if (Busy()) {
    Core_->Log(kWorkInProgress);
    return;
  }
  EndWanted_ = false;
  TFormState state;
  const QRect r = isMaximized() || isMinimized() ? normalGeometry() : geometry();
  state.NormalPos = {r.left(), r.top(), r.left() + r.width(), r.top() + r.height()};
  state.ShowCmd = isVisible() && !isMinimized() ? 1 : 2;
  if (QScreen* s = screen()) state.PixelsPerInch = static_cast<int>(std::lround(s->logicalDotsPerInch()));
  const QColor color = palette().color(QPalette::Window);
  state.Color = color.red() | (color.green() << 8) | (color.blue() << 16);
  try {
    Core_->SaveFormState(state);
  } catch (const std::exception& e) {
    std::cerr << "trelvo: " << e.what() << "\n";
  }
  try {
    Core_->FormClose();
  } catch (const std::exception& e) {
    std::cerr << "trelvo: " << e.what() << "\n";
  }
  Ended_ = true;
  TimerRun_.stop();
  if (TrayIcon_) TrayIcon_->hide();
  hide();
  emit ProgramEnded();
}

void TfrmTrelvo::RequestEnd() {
  if (Ended_) return;
  if (!Busy()) {
    EndProgram();
    return;
  }
  EndWanted_ = true;
  std::cerr << "trelvo: ending once the work in progress has returned\n";
  // A dialog waiting for an operator would hold the end off for good.
  if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) dialog->reject();
}

bool TfrmTrelvo::Busy() const { return Busy_ > 0 || (Transfer_ && Transfer_->Running()); }

template <class F>
void TfrmTrelvo::Command(F&& body) {
  ++Busy_;
  try {
    body();
  } catch (const std::exception& e) {
    Core_->GeneralErrorReport(e.what());
  } catch (...) {
    Core_->GeneralErrorReport("Unknown error");
  }
  --Busy_;
  if (Destroying_) return;
  RunControlsChanged();
  LiveToControls();
  if (Busy_ == 0 && EndWanted_) EndProgram();
}

// ---- commands ----

// The runs and the package viewer share the archive component and the INet
// tables, and each lets the event loop run while it works: one of them at a
// time, or one would unpack under the other.
bool TfrmTrelvo::WorkInProgress() const { return Working_ > 0 || Transfer_->Running(); }

namespace {
struct TWorking {
  int& Depth;
  explicit TWorking(int& depth) : Depth(depth) { ++Depth; }
  ~TWorking() { --Depth; }
};
}  // namespace

void TfrmTrelvo::SBSendClick() {
  Command([&] {
    if (WorkInProgress()) return Core_->Log(kWorkInProgress);
    TWorking working(Working_);
    Transfer_->SBSendClick();
  });
}

void TfrmTrelvo::SBReceiveClick() {
  Command([&] {
    if (WorkInProgress()) return Core_->Log(kWorkInProgress);
    TWorking working(Working_);
    Transfer_->SBReceiveClick();
  });
}

void TfrmTrelvo::TimerRunTimer() {
  // The run control stops the timer for its own runs; a tick during the
  // viewer's unpacking is left for the next one.
  if (WorkInProgress()) return;
  Command([&] {
    TWorking working(Working_);
    Transfer_->TimerRunTimer();
  });
}

void TfrmTrelvo::SBUpdateClick() {
  Command([&] { Core_->SBUpdateClick(); });
}

void TfrmTrelvo::TSOpenZipFileClick() {
  Command([&] {
    PageControl_->setCurrentIndex(1);
    if (WorkInProgress()) return Core_->Log(kWorkInProgress);
    const std::string path = ChoosePackageFile();
    if (path.empty()) return;
    // A scheduled run may have started while the dialog was open.
    if (WorkInProgress()) return Core_->Log(kWorkInProgress);
    TWorking working(Working_);
    Core_->OpenPackage(path);
  });
}

void TfrmTrelvo::SBExitClick() { EndProgram(); }

void TfrmTrelvo::BBtnSaveClick() {
  Command([&] {
    PageToCore();
    const TSettingsPage page = Core_->Page;
    Core_->BBtnSaveClick(page);
  });
}

void TfrmTrelvo::CBoxTauluChange(int index) {
  Command([&] { Core_->CBoxTauluChange(index); });
}

void TfrmTrelvo::ShowFromTray() {
  showNormal();
  raise();
  activateWindow();
}

std::unique_ptr<QFileDialog> TfrmTrelvo::NewPackageDialog() {
  auto dialog = std::make_unique<QFileDialog>(this, "Valitse arkistotiedosto.", Q(Core_->Settings.BackupDir));
  dialog->setObjectName("OpenZipDialog");
  // Qt's own dialog: the same filter, mask and behaviour on every desktop.
  dialog->setOption(QFileDialog::DontUseNativeDialog);
  dialog->setAcceptMode(QFileDialog::AcceptOpen);
  dialog->setFileMode(QFileDialog::ExistingFile);
  dialog->setNameFilter("Arkistotiedostot (*.Zip)");
  dialog->setDefaultSuffix("Zip");
  auto* proxy = new TMaskProxy(dialog.get());
  dialog->setProxyModel(proxy);
  if (auto* name = dialog->findChild<QLineEdit*>("fileNameEdit"))
    connect(name, &QLineEdit::textChanged, proxy, &TMaskProxy::SetMask);
  const QString mask = Q(Core_->Settings.MasterClients + "*.Zip");
  dialog->selectFile(mask);
  proxy->SetMask(mask);
  return dialog;
}

std::string TfrmTrelvo::ChoosePackageFile() {
  std::unique_ptr<QFileDialog> dialog = NewPackageDialog();
  if (dialog->exec() != QDialog::Accepted) return {};
  const QStringList files = dialog->selectedFiles();
  return files.isEmpty() ? std::string() : S(files.first());
}

// ---- the settings page and the live values ----

void TfrmTrelvo::PageToCore() {
  TSettingsPage& p = Core_->Page;
  p.EdtZipPw = S(Fields_["EdtZipPw"]->text());
  p.EdtFtpHost = S(Fields_["EdtFtpHost"]->text());
  p.EdtFtpHostDir = S(Fields_["EdtFtpHostDir"]->text());
  p.EdtFtpBackupDir = S(Fields_["EdtFtpBackupDir"]->text());
  p.EdtFtpLogDir = S(Fields_["EdtFtpLogDir"]->text());
  p.EdtFtpUser = S(Fields_["EdtFtpUser"]->text());
  p.EdtFtpPw = S(Fields_["EdtFtpPw"]->text());
  p.ChkBoxRas = ChkBoxRas_->isChecked();
  p.ChkBoxSama = ChkBoxSama_->isChecked();
  p.CBoxRasEntIndex = CBoxRasEnt_->currentIndex();
}

void TfrmTrelvo::PageFromCore() {
  if (Destroying_) return;
  const TSettingsPage& p = Core_->Page;
  Fields_["EdtZipPw"]->setText(Q(p.EdtZipPw));
  Fields_["EdtFtpHost"]->setText(Q(p.EdtFtpHost));
  Fields_["EdtFtpHostDir"]->setText(Q(p.EdtFtpHostDir));
  Fields_["EdtFtpBackupDir"]->setText(Q(p.EdtFtpBackupDir));
  Fields_["EdtFtpLogDir"]->setText(Q(p.EdtFtpLogDir));
  Fields_["EdtFtpUser"]->setText(Q(p.EdtFtpUser));
  Fields_["EdtFtpPw"]->setText(Q(p.EdtFtpPw));
  Fields_["EdtRecvCount"]->setText(Q(p.EdtRecvCount));
  Fields_["EdtSendCount"]->setText(Q(p.EdtSendCount));
  ChkBoxRas_->setChecked(p.ChkBoxRas);
  ChkBoxSama_->setChecked(p.ChkBoxSama);
  const QSignalBlocker block(CBoxRasEnt_);
  CBoxRasEnt_->clear();
  for (const std::string& entry : p.CBoxRasEnt) CBoxRasEnt_->addItem(Q(entry));
  CBoxRasEnt_->setCurrentIndex(p.CBoxRasEntIndex < CBoxRasEnt_->count() ? p.CBoxRasEntIndex : -1);
  CBoxRasEnt_->setEnabled(p.CBoxRasEntEnabled);
}

void TfrmTrelvo::LiveToControls() {
  if (Destroying_) return;
  const TLiveValues& live = Core_->Live;
  {
    const QSignalBlocker a(TimeRecv_), b(TimeSend_), c(DateRecv_), d(DateSend_), e(ChkBoxRecv_), f(ChkBoxSend_);
    TimeRecv_->setTime(ToQTime(live.TimeRecv));
    TimeSend_->setTime(ToQTime(live.TimeSend));
    DateRecv_->setDate(ToQDate(live.DateRecv));
    DateSend_->setDate(ToQDate(live.DateSend));
    ChkBoxRecv_->setChecked(live.ChkBoxRecv);
    ChkBoxSend_->setChecked(live.ChkBoxSend);
  }
  Fields_["EdtMaster"]->setText(Q(live.EdtMaster));
}

QTime TfrmTrelvo::NowTime() const { return ToQTime(Core_->Now()); }
QDate TfrmTrelvo::Today() const { return ToQDate(Core_->Now()); }

void TfrmTrelvo::ApplyGridWidths() {
  ApplyingWidths_ = true;
  for (int col = 0; col < Core_->SGrid.ColCount(); ++col) SGrid_->setColumnWidth(col, Core_->SGrid.ColWidth(col));
  ApplyingWidths_ = false;
}

// ---- TTrelvoView ----

void TfrmTrelvo::LogAppended(const std::string& line) {
  if (Destroying_) return;
  MemoLog_->appendPlainText(Q(line));
  // The newest line stays in sight while a run writes.
  QScrollBar* bar = MemoLog_->verticalScrollBar();
  bar->setValue(bar->maximum());
}

void TfrmTrelvo::LogCleared() {
  if (!Destroying_) MemoLog_->clear();
}

void TfrmTrelvo::MeterChanged(int percent) {
  if (!Destroying_) ProgressMeter_->setValue(std::clamp(percent, 0, 100));
}

void TfrmTrelvo::FieldTextChanged(const std::string& field, const std::string& text) {
  if (Destroying_) return;
  auto it = Fields_.find(field);
  if (it != Fields_.end()) it->second->setText(Q(text));
}

void TfrmTrelvo::SettingsPageChanged() { PageFromCore(); }

void TfrmTrelvo::RunControlsChanged() {
  if (Destroying_ || !Transfer_) return;
  SBSend_->setEnabled(Transfer_->SBSendEnabled());
  SBReceive_->setEnabled(Transfer_->SBReceiveEnabled());
  const bool enabled = Transfer_->TimerRunEnabled();
  const int interval = Transfer_->TimerRunInterval();
  if (!enabled || interval <= 0 || Ended_)
    TimerRun_.stop();
  else if (!TimerEnabled_ || !TimerRun_.isActive())
    TimerRun_.start(interval);  // from disabled to enabled: the full interval anew
  TimerEnabled_ = enabled;
}

void TfrmTrelvo::ProcessMessages() {
  if (!Destroying_) QCoreApplication::processEvents();
}

void TfrmTrelvo::ShowError(const std::string& message) {
  std::cerr << "trelvo: " << message << "\n";
  if (!Options_.Interactive || EndWanted_ || Destroying_) return;
  // One box at a time: an error that comes back on every tick of an
  // unattended night must not leave a stack of boxes; the newest shows.
  if (!ErrorBox_) {
    ErrorBox_ = new QMessageBox(QMessageBox::Critical, "Trelvo", QString(), QMessageBox::Ok, this);
    ErrorBox_->setObjectName("ErrorReport");
    ErrorBox_->setAttribute(Qt::WA_DeleteOnClose);
    ErrorBox_->setWindowModality(Qt::NonModal);
  }
  ErrorBox_->setText(Q(message));
  ErrorBox_->show();
  ErrorBox_->raise();
}

void TfrmTrelvo::ShowAbortMessage(const std::string& text) {
  std::cerr << "trelvo: " << text << "\n";
  if (!Options_.Interactive || EndWanted_ || Destroying_) return;
  QMessageBox box(QMessageBox::Critical, "Trelvo", Q(text), QMessageBox::Abort, this);
  box.setObjectName("ConnectError");
  box.exec();
}

void TfrmTrelvo::InspectionGridChanged() {
  if (Destroying_) return;
  GridModel_->Reset();
  ApplyGridWidths();
}

void TfrmTrelvo::LiveValuesChanged() { LiveToControls(); }

// ---- window events ----

bool TfrmTrelvo::event(QEvent* event) {
  if (event->type() == QEvent::StatusTip) {
    Panel0_->setText(static_cast<QStatusTipEvent*>(event)->tip());
    return true;
  }
  return QMainWindow::event(event);
}

void TfrmTrelvo::closeEvent(QCloseEvent* event) {
  if (Ended_) {
    event->accept();
    return;
  }
  // The frame's close box only hides the window; the program goes on.
  event->ignore();
  hide();
}

void TfrmTrelvo::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange && isMinimized() && TrayIcon_)
    QTimer::singleShot(0, this, [this] {
      if (isMinimized()) hide();
    });
}

bool TfrmTrelvo::eventFilter(QObject* watched, QEvent* event) {
  if (watched == ChkBoxRas_ && event->type() == QEvent::FocusOut && !Destroying_) {
    Command([&] {
      PageToCore();
      Core_->ChkBoxRasExit();
      PageFromCore();
    });
  }
  return QMainWindow::eventFilter(watched, event);
}

}  // namespace trelvo
