#pragma once
// The server selection dialog: the database transport found several servers
// and the operator picks one. There is no cancel button; a closed dialog
// chooses none.
#include <QDialog>
#include <string>
#include <vector>

#include "db/DbModule.h"

class QListWidget;
class QPushButton;

namespace trelvo {

class Tserver_selection_form : public QDialog {
  Q_OBJECT
 public:
  explicit Tserver_selection_form(QWidget* parent = nullptr);
  void SetServerNames(const std::vector<std::string>& names);
  // The chosen name; "" when none is selected.
  std::string SelectedName() const;

  QListWidget* server_list;
  QPushButton* sel_but;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void server_listClick();
  void server_listDblClick();
  void sel_butClick();
};

// The data module's choose-server question answered by the dialog.
class TServerSelectionDialog : public TServerSelector {
 public:
  bool SelectServer(const std::vector<std::string>& serverNames, std::string& serverName) override;
};

}  // namespace trelvo
