#pragma once
// The state and shared operations of the main window, without widgets. The
// window, the operator tool and the tests all drive the same object; it shows
// its work through a TTrelvoView.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "archive/ZipArchiver.h"
#include "common/Clock.h"
#include "common/RunReport.h"
#include "core/CrashReport.h"
#include "core/FormState.h"
#include "core/MemoLog.h"
#include "core/Settings.h"
#include "core/View.h"
#include "data/Inspection.h"
#include "data/Tables.h"
#include "db/DbModule.h"
#include "dialup/RasDialer.h"
#include "filesearch/FileFinder.h"
#include "ftp/FtpClient.h"

namespace trelvo {

class TTrelvoCore : public TRunReport {
 public:
  // homeDir is the installation directory (Sorvel.ini, SorWin.ini,
  // DbServer.ini). view and clock must outlive the core; null means a silent
  // view and the system clock.
  explicit TTrelvoCore(std::string homeDir, TTrelvoView* view = nullptr, const TClock* clock = nullptr);
  ~TTrelvoCore() override;
  TTrelvoCore(const TTrelvoCore&) = delete;
  TTrelvoCore& operator=(const TTrelvoCore&) = delete;

  // ---- installation ----
  const std::string& HomeDir() const { return HomeDir_; }
  std::string SettingsFileName() const { return HomeDir_ + "Sorvel.ini"; }
  std::string FormStateFileName() const { return HomeDir_ + "SorWin.ini"; }
  std::string DbServerFileName() const { return HomeDir_ + "DbServer.ini"; }
  // The program's own directory, or TRELVO_HOME when set.
  static std::string DefaultHomeDir();
  TTrelvoView& View() const { return *View_; }
  const TClock& Clock() const { return *Clock_; }
  TDateTime Now() const { return Clock_->Now(); }

  // ---- settings ----
  TSettings Settings;
  TLiveValues Live;
  TSettingsPage Page;
  bool IsMaster() const { return Settings.IsMaster; }
  const std::string& ClientPrefix() const { return Settings.ClientPrefix; }
  std::string InternetDir() const { return Settings.Dir; }
  // Reads every key in the file's order. A value a key cannot take (a
  // RecvDate that is no date, a ReTryTime that is no number) reads as the
  // key's default, with a line in SettingsProblems.
  void LoadSettings();
  std::vector<std::string> SettingsProblems;
  // Those lines into the run log: at start and in every run.
  void LogSettingsProblems();
  // "Talleta": the page's values into memory, then the page's keys into the file.
  void BBtnSaveClick(const TSettingsPage& page);
  // The in-memory values onto the page, the dial-up entries with them.
  void FillSettingsPage();
  // After a successful run: DateSend/DateRecv set to today and written; the
  // receive and the master send also write MasterFile from EdtMaster.
  void WriteSendDate(bool withMasterFile = false);
  void WriteRecvDate(bool withMasterFile = false);

  // ---- run state ----
  bool TransferOk = false;
  int MasterSendRetries = 0, MasterRecvRetries = 0, ClientSendRetries = 0, ClientRecvRetries = 0;
  int PendingCounts[4] = {0, 0, 0, 0};  // ZNetAsi, ZNetKo, ZNetKoPa, ZNetTila
  std::string MainAliasDir, INetAliasDir;
  std::string CurrentPackage;
  std::vector<std::string> FoundFiles;
  std::string LastItemName;
  TMemoLog MemoLog;
  int ProgressMeter() const { return Meter_; }

  // TRunReport: what procedures and components report through.
  void Log(const std::string& line) override { MemoLog.Add(line); }
  void SetMeter(int percent) override;
  void ProcessMessages() override { View_->ProcessMessages(); }
  void SetField(const std::string& field, const std::string& text) { View_->FieldTextChanged(field, text); }

  // ---- file operations of the transfers ----
  TFileFinder FileFinder;
  void FileFinderFileFound(const TFoundFileInfo& info);
  bool DeleteFiles(const std::string& path);
  // With unsynced, the copies are not synced one by one but listed there,
  // for the caller to make durable at once before anything relies on them.
  bool CopyFiles(const std::string& source, const std::string& targetDir, bool failIfExists,
                 std::vector<std::string>* unsynced = nullptr);
  // Runs the search for one "dir/mask" path into FoundFiles; false when the
  // folder could not be listed. Throws EFileMaskError on a bad mask.
  bool FindFiles(const std::string& path);

  // ---- database (db/, data/) ----
  // The data module serves from this installation's DbServer.ini.
  TDbModule DbModule{[this] { return DbServerFileName(); }};
  TDbDatabase DBINet{DbModule.DbSession, "INet"};
  TTables Tables{DbModule.MainDatabase, DBINet};
  // The [DataBase] settings into the data module's connection fields (part
  // of loading the settings).
  void ApplyDatabaseSettings();
  // Close, connect with the transport kind and the main alias, open the
  // session and the main database; a failure is logged and clears TransferOk.
  void ReconnectDatabase();
  // PendingCounts, MainAliasDir and INetAliasDir, and the count fields.
  void RefreshPendingCounts();
  // The count button. While a merge runs, its open batch keeps further
  // tables of the main database from opening, so the refresh comes after it.
  void SBUpdateClick();
  // The exchange rows of the main database laid over the main tables, with
  // this installation's role and MasterStatistics; errors outside the rows
  // reach the caller.
  void UpdData();
  // The INet database's exchange rows appended to the main database's.
  void AppendExchangeRows();
  bool MergeRunning = false;
  bool CountsWanted = false;  // the count button was pressed during a merge

  // ---- archive ----
  // The one archive component of the window; its events are wired to the
  // four handlers below as soon as it exists.
  TZipArchiver ZipArchiver;
  void ZipArchiverLoad(TZipArchiver& sender);
  void ZipArchiverSave(TZipArchiver& sender);
  void ZipArchiverItemProgress(TZipArchiver& sender, const TZipItem& item, int progress, bool& abort);
  void ZipArchiverItemFailure(TZipArchiver& sender, const TZipItem& item, TZipProcessType processType,
                              TZipErrorClass errorClass, int errorCode);

  // ---- FTP steps ----
  // Each step is one whole FTP session with a client of its own, logs its
  // progress and failures into the run log and never throws.
  bool UploadPackage(const std::string& localPath, const std::string& serverDir);
  bool DownloadPackage(const std::string& localPath);
  // currentPackage is set to the local path of each listed master package in
  // turn; unchanged when the listing names none.
  bool DownloadMasterPackages(std::string& currentPackage);
  bool ReplaceMasterPackages(const std::string& packagePath);
  bool CollectClientPackages();
  // OnProgress of every step's client: EdtSiirretty in whole kilobytes.
  void FtpClientProgress(TFtpClientCore* sender, int64_t count, bool& abort);
  // A client filled from the settings (host, port, user, password, passive)
  // for serverDir; the steps and ftp-check start from it.
  std::unique_ptr<TFtpClient> NewFtpClient(const std::string& serverDir);
  std::string FtpListFileName() const { return InternetDir() + "Tmp/FtpDirList.Tmp"; }

  // ---- dial-up ----
  TRasDialer RasDialer;
  // Step 3 of FillSettingsPage: the entry list of the page, the entry
  // selected case-insensitively, the dialler's EntryName, and with "Samat
  // tunnukset" the entry's credentials copied into the FTP fields.
  void FillRasEntries();
  // Focus leaves "Ras-soitto": the list is enabled exactly when it is checked.
  void ChkBoxRasExit();
  // Another entry chosen in the list (index into Page.CBoxRasEnt).
  void CBoxRasEntChange(int index);
  // A run's connection phase: body runs; with the setting Ras on the dialler
  // hangs up afterwards on every path, also when body throws.
  void ConnectionPhase(const std::function<void()>& body);
  // With Ras on: dials; a non-zero result logs its ErrorText (after the
  // entry line "EntryName/UserName" when logEntry) and clears TransferOk.
  void DialUp(bool logEntry = false);

  // ---- start and end of the program ----
  // "Versio " and the program's version.
  static std::string VersionText();
  // The window's start after its own steps (hint routing, form position,
  // version): settings, crash reporting, the settings page, meter and
  // counters, the main database, the INet database, the pending counts and
  // the mode field. The timer is the run control's. A main database that
  // cannot be connected is shown through the view's ShowAbortMessage and
  // sets TerminateRequested, and the start goes on; any other error escapes
  // and ends the start at that step.
  void StartProgram();
  // Connect with the transport kind and the main alias and open the session;
  // false after the message box.
  bool ConnectMainDatabase();
  // The INet database reopened under its alias; a failure is only logged.
  void OpenINetDatabase();
  // The start met a main database it cannot reach: end at the next return to
  // the event loop, before any scheduler tick.
  bool TerminateRequested = false;
  // Where an error that no procedure caught ends up: a crash report when
  // UseErrorLog is on, then the view shows the message; the program goes on.
  void GeneralErrorReport(const std::string& message);
  // The saved window rectangle of SorWin.ini, only for the same resolution.
  std::optional<TFormRect> SavedFormPosition(int pixelsPerInch) const;
  void SaveFormState(const TFormState& state) const;
  // The end of the program: every table and both databases closed and the
  // data module's connection let go.
  void FormClose();
  // The package viewer after its file dialog: the package's table files
  // unpacked into INetAliasDir with the archive's log lines; a package that
  // cannot be read gets the viewer's two lines.
  void OpenPackage(const std::string& packagePath);
  // The inspection page: SGrid filled with the table of CBoxTaulu's index
  // (0 Asiakas, 1 Kortti, 2 Kortipaikka, 3 Tilasto). The view hears of the
  // grid also when the fill fails; the error then goes on to the caller.
  TStringGridData SGrid;
  void CBoxTauluChange(int index);

 private:
  void WriteDates(bool send, bool withMasterFile);
  void WireArchiver();

  std::string HomeDir_;
  std::unique_ptr<TTrelvoView> OwnView_;
  std::unique_ptr<TClock> OwnClock_;
  TTrelvoView* View_;
  const TClock* Clock_;
  int Meter_ = 0;
};

}  // namespace trelvo
