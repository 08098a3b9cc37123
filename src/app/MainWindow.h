#pragma once
// TfrmTrelvo: the main window. It shows what the core holds and forwards
// what the operator does; the rules are the core's and the run control's.
#include <QMainWindow>
#include <QPointer>
#include <QTimer>
#include <map>
#include <memory>
#include <string>

#include "app/ServerSelection.h"
#include "core/TrelvoCore.h"
#include "transfer/Transfer.h"

class QAction;
class QCheckBox;
class QComboBox;
class QFileDialog;
class QLabel;
class QLineEdit;
class QMenu;
class QMessageBox;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSystemTrayIcon;
class QTabWidget;
class QTableView;

namespace trelvo {

class TTimeField;
class TDateField;
class TGridModel;

class TfrmTrelvo : public QMainWindow, public TTrelvoView {
  Q_OBJECT
 public:
  struct TOptions {
    std::string HomeDir;               // the installation
    const TClock* Clock = nullptr;     // null: the system clock
    TProgramCloser* Closer = nullptr;  // null: sibling programs are never found
    // A desktop with a tray: the tray icon, message boxes and the server
    // dialog. Without one the window stays hidden and messages go to stderr.
    bool Interactive = true;
  };

  explicit TfrmTrelvo(const TOptions& options);
  ~TfrmTrelvo() override;

  // The start sequence. Errors are reported, not thrown; afterwards
  // Core().TerminateRequested says whether the program must end at once.
  void FormCreate();

  TTrelvoCore& Core() { return *Core_; }
  TTransfer& Transfer() { return *Transfer_; }
  QTimer& TimerRun() { return TimerRun_; }
  QSystemTrayIcon* TrayIcon() const { return TrayIcon_; }
  // A command (a run, the viewer, a dialog) is in progress.
  bool Busy() const;
  // A run or the package viewer's unpacking is in progress.
  bool WorkInProgress() const;
  // The end of the program has run (form state saved, database closed).
  bool Ended() const { return Ended_; }

  // The commands, as the buttons, the menu and the timer call them.
  void SBSendClick();
  void SBReceiveClick();
  void SBUpdateClick();
  void TSOpenZipFileClick();
  void SBExitClick();
  void BBtnSaveClick();
  void TimerRunTimer();
  void CBoxTauluChange(int index);
  // SIGTERM or SIGINT: the end as "Sulje" does it, after a running run.
  void RequestEnd();
  // A double click on the tray icon.
  void ShowFromTray();

  // The package viewer's file dialog, set up as the viewer opens it.
  std::unique_ptr<QFileDialog> NewPackageDialog();

  // ---- TTrelvoView ----
  void LogAppended(const std::string& line) override;
  void LogCleared() override;
  void MeterChanged(int percent) override;
  void FieldTextChanged(const std::string& field, const std::string& text) override;
  void SettingsPageChanged() override;
  void RunControlsChanged() override;
  void ProcessMessages() override;
  void ShowError(const std::string& message) override;
  void ShowAbortMessage(const std::string& text) override;
  void InspectionGridChanged() override;
  void LiveValuesChanged() override;

 signals:
  // The end has run; the application's loop may stop.
  void ProgramEnded();

 protected:
  // The package the operator picks; empty when cancelled.
  virtual std::string ChoosePackageFile();
  bool event(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  template <class F>
  void Command(F&& body);
  void EndProgram();
  void BuildToolbar();
  QWidget* BuildMonitorPage();
  QWidget* BuildInspectionPage();
  QWidget* BuildSettingsPage();
  void BuildTray();
  QLineEdit* Field(QWidget* parent, const char* name, const char* statusTip, bool readOnly = true);
  void PageToCore();
  void PageFromCore();
  void LiveToControls();
  void ApplyGridWidths();
  QTime NowTime() const;
  QDate Today() const;

  TOptions Options_;
  std::unique_ptr<TTrelvoCore> Core_;
  std::unique_ptr<TTransfer> Transfer_;
  TServerSelectionDialog ServerSelector_;
  QTimer TimerRun_;
  bool TimerEnabled_ = false;  // the run control's timer state last shown
  int Busy_ = 0;
  int Working_ = 0;
  bool EndWanted_ = false;
  bool Ended_ = false;
  bool Destroying_ = false;
  bool ApplyingWidths_ = false;

  QAction *SBSend_ = nullptr, *SBReceive_ = nullptr, *SBUpdate_ = nullptr, *SBOpenZipFile_ = nullptr,
          *SBExit_ = nullptr;
  QTabWidget* PageControl_ = nullptr;
  QLabel *Panel0_ = nullptr, *Panel1_ = nullptr;
  QPlainTextEdit* MemoLog_ = nullptr;
  QProgressBar* ProgressMeter_ = nullptr;
  std::map<std::string, QLineEdit*> Fields_;
  QComboBox* CBoxTaulu_ = nullptr;
  QTableView* SGrid_ = nullptr;
  TGridModel* GridModel_ = nullptr;
  QCheckBox *ChkBoxRas_ = nullptr, *ChkBoxSama_ = nullptr, *ChkBoxRecv_ = nullptr, *ChkBoxSend_ = nullptr;
  QComboBox* CBoxRasEnt_ = nullptr;
  TTimeField *TimeRecv_ = nullptr, *TimeSend_ = nullptr;
  TDateField *DateRecv_ = nullptr, *DateSend_ = nullptr;
  QPushButton* BBtnSave_ = nullptr;
  QSystemTrayIcon* TrayIcon_ = nullptr;
  QMenu* PopupMenu_ = nullptr;
  QPointer<QMessageBox> ErrorBox_;  // the general error report while it is open
};

}  // namespace trelvo
