#include "app/ServerSelection.h"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <memory>

namespace trelvo {

namespace {
constexpr int kClientWidth = 329, kClientHeight = 211, kListHeight = 167, kPanelHeight = 44;
}

Tserver_selection_form::Tserver_selection_form(QWidget* parent)
    // A dialog frame with a title and no system menu, so no close box.
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
  setObjectName("server_selection_form");
  setWindowTitle("Database Server Selection");
  QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  font.setPointSize(8);
  setFont(font);
  setFixedSize(kClientWidth, kClientHeight);

  server_list = new QListWidget(this);
  server_list->setObjectName("server_list");
  server_list->setGeometry(0, 0, kClientWidth, kListHeight);
  QPalette pal = server_list->palette();
  pal.setColor(QPalette::Base, pal.color(QPalette::Button));
  server_list->setPalette(pal);
  server_list->setUniformItemSizes(true);
  server_list->setSelectionMode(QAbstractItemView::SingleSelection);

  auto* panel = new QWidget(this);
  panel->setGeometry(0, kClientHeight - kPanelHeight, kClientWidth, kPanelHeight);
  sel_but = new QPushButton("Seleziona", panel);
  sel_but->setObjectName("sel_but");
  sel_but->setGeometry(122, 9, 75, 25);
  sel_but->setEnabled(false);
  sel_but->setDefault(true);

  connect(server_list, &QListWidget::itemSelectionChanged, this, &Tserver_selection_form::server_listClick);
  connect(server_list, &QListWidget::itemDoubleClicked, this, &Tserver_selection_form::server_listDblClick);
  connect(sel_but, &QPushButton::clicked, this, &Tserver_selection_form::sel_butClick);

  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect area = screen->availableGeometry();
    move(area.center() - QPoint(kClientWidth / 2, kClientHeight / 2));
  }
}

void Tserver_selection_form::SetServerNames(const std::vector<std::string>& names) {
  server_list->clear();
  for (const std::string& name : names) {
    auto* item = new QListWidgetItem(QString::fromStdString(name), server_list);
    item->setSizeHint(QSize(0, 13));
  }
  server_list->setCurrentRow(-1);
  server_list->clearSelection();
  sel_but->setEnabled(false);
}

std::string Tserver_selection_form::SelectedName() const {
  const auto items = server_list->selectedItems();
  return items.isEmpty() ? std::string() : items.first()->text().toStdString();
}

void Tserver_selection_form::server_listClick() { sel_but->setEnabled(!server_list->selectedItems().isEmpty()); }

void Tserver_selection_form::server_listDblClick() {
  server_listClick();
  if (sel_but->isEnabled()) sel_but->click();
}

void Tserver_selection_form::sel_butClick() {
  if (!server_list->selectedItems().isEmpty()) accept();
}

void Tserver_selection_form::closeEvent(QCloseEvent* event) {
  // A close that would answer OK without a server is refused.
  if (result() == QDialog::Accepted && server_list->selectedItems().isEmpty())
    event->ignore();
  else
    QDialog::closeEvent(event);
}

void Tserver_selection_form::keyPressEvent(QKeyEvent* event) {
  // Escape would cancel, and the dialog has no cancel.
  if (event->key() == Qt::Key_Escape) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

bool TServerSelectionDialog::SelectServer(const std::vector<std::string>& serverNames, std::string& serverName) {
  auto form = std::make_unique<Tserver_selection_form>();
  form->SetServerNames(serverNames);
  if (form->exec() == QDialog::Accepted) {
    serverName = form->SelectedName();
    if (!serverName.empty()) return true;
  }
  serverName.clear();
  return false;
}

}  // namespace trelvo
