#pragma once
// An installation made by trelvo-admin, the window over it with the hooks a
// test needs (its pumping of the event loop, its package chooser and its
// message boxes), and a fixed clock.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "app/MainWindow.h"
#include "archive/ZipArchiver.h"
#include "common/IniFile.h"
#include "db/DbTable.h"

namespace trelvo::test {

using Lines = std::vector<std::string>;

class TTestWindow : public TfrmTrelvo {
 public:
  using TfrmTrelvo::TfrmTrelvo;
  // Runs each time the work lets the event loop turn, before it turns.
  std::function<void()> OnProcessMessages;
  std::string PackageToChoose;
  int ChooserCalls = 0;
  // Recorded; shown as boxes only when ShowBoxes is set.
  Lines Errors, AbortMessages;
  bool ShowBoxes = false;

  void ProcessMessages() override {
    if (OnProcessMessages && !InHook_) {
      InHook_ = true;
      OnProcessMessages();
      InHook_ = false;
    }
    TfrmTrelvo::ProcessMessages();
  }
  void ShowError(const std::string& message) override {
    Errors.push_back(message);
    if (ShowBoxes) TfrmTrelvo::ShowError(message);
  }
  void ShowAbortMessage(const std::string& text) override {
    AbortMessages.push_back(text);
    if (ShowBoxes) TfrmTrelvo::ShowAbortMessage(text);
  }
  const Lines& Log() { return Core().MemoLog.Lines(); }
  bool Logged(const std::string& line) {
    for (const std::string& l : Log())
      if (l == line) return true;
    return false;
  }

 protected:
  std::string ChoosePackageFile() override {
    ++ChooserCalls;
    return PackageToChoose;
  }

 private:
  bool InHook_ = false;
};

// Calls answer with the first modal widget that appears (within 5 s).
inline void WhenModalAppears(std::function<void(QWidget*)> answer) {
  auto* timer = new QTimer;
  auto started = std::make_shared<QElapsedTimer>();
  started->start();
  QObject::connect(timer, &QTimer::timeout, [timer, answer, started] {
    if (QWidget* modal = QApplication::activeModalWidget(); modal && modal->isVisible()) {
      timer->stop();
      timer->deleteLater();
      answer(modal);
    } else if (started->elapsed() > 5000) {
      timer->stop();
      timer->deleteLater();
      ADD_FAILURE() << "no modal widget appeared";
    }
  });
  timer->start(20);
}

class AppFixture : public ::testing::Test {
 protected:
  void SetUp() override { MakeInstallation("client"); }

  void MakeInstallation(const std::string& role) {
    std::string out;
    ASSERT_EQ(0, RunCommand(std::string(TRELVO_ADMIN_EXE) + " init '" + Home + "' --role " + role + " --force 2>&1", &out))
        << out;
  }
  void Set(const std::string& section, const std::string& key, const std::string& value) {
    TIniFile(Home + "Sorvel.ini").WriteString(section, key, value);
  }
  std::unique_ptr<TTestWindow> NewWindow(bool interactive = false) {
    TfrmTrelvo::TOptions options;
    options.HomeDir = Home;
    options.Clock = &Clock;
    options.Interactive = interactive;
    return std::make_unique<TTestWindow>(options);
  }

  // Rows appended to a table file in dir through the table layer.
  void AddRows(const std::string& dir, const std::string& table,
               const std::vector<std::vector<std::pair<std::string, std::string>>>& rows) {
    WriteFile(dir + "Rows.ini", "[Servers]\nROWS=127.0.0.1\n[ROWS.Aliases]\nA=.\n");
    TDbModule module(dir + "Rows.ini");
    module.ServerName = "ROWS";
    module.ServerAddress = "127.0.0.1";
    module.ConnectDatabase(1, "A");
    TDbTable t(module.MainDatabase, table, "");
    t.Open();
    for (const auto& row : rows) {
      t.Append();
      for (const auto& [field, text] : row) t.FieldByName(field).SetAsString(text);
      t.Post();
    }
    t.Close();
    module.DisconnectDatabase();
    ::unlink((dir + "Rows.ini").c_str());
  }

  // A package of every file of dir that matches mask, under the installation's password.
  void Pack(const std::string& zip, const std::string& dir, const std::string& mask, const std::string& password) {
    TZipArchiver archiver;
    archiver.OpenArchive(zip);
    archiver.SetBaseDirectory(dir);
    archiver.SetPassword(password);
    archiver.AddFiles(mask, 0);
    archiver.CloseArchive();
  }

  TTempDir Dir;
  std::string Home = Dir / "home/";
  // Thursday 10.12.2026 12:00.
  TFixedClock Clock{EncodeDate(2026, 12, 10) + EncodeTime(12, 0, 0)};
};

}  // namespace trelvo::test
