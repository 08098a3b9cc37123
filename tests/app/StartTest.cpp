// The start sequence over installations made by trelvo-admin, its failure
// paths, the form state, and the program itself started and stopped.
#include <signal.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <fstream>
#include <thread>

#include "AppFixture.h"
#include "common/Text.h"
#include "dialup/RasDialer.h"

extern char** environ;

namespace trelvo::test {
namespace {

class StartTest : public AppFixture {
 protected:
  static QString Text(QWidget& w, const char* name) {
    if (auto* edit = w.findChild<QLineEdit*>(name)) return edit->text();
    if (auto* label = w.findChild<QLabel*>(name)) return label->text();
    ADD_FAILURE() << "no field " << name;
    return {};
  }
  static int ScreenPpi() { return qRound(QGuiApplication::primaryScreen()->logicalDotsPerInch()); }
};

TEST_F(StartTest, InstallationComesUpHiddenWithItsFieldsCountsAndTimer) {
  for (const char* role : {"client", "master"}) {
    SCOPED_TRACE(role);
    MakeInstallation(role);
    auto w = NewWindow();
    w->FormCreate();
    EXPECT_TRUE(w->Errors.empty()) << w->Errors.front();
    EXPECT_FALSE(w->Core().TerminateRequested);
    EXPECT_FALSE(w->isVisible());
    EXPECT_EQ(w->windowTitle(), "Trelvo-serveri");
    EXPECT_EQ(w->size(), QSize(674, 392));
    EXPECT_EQ(Text(*w, "StatusPanel1"), "Versio 3.0.3.0");
    EXPECT_EQ(Text(*w, "EdtMode"), std::string(role) == "master" ? "Master" : "Client");
    EXPECT_EQ(Text(*w, "EdtAsiKpl"), "0");
    EXPECT_EQ(Text(*w, "EdtTiKpl"), "0");
    EXPECT_EQ(w->Log(), (Lines{"Alias SORVEL, hakemisto: " + Home + "Data/", "Alias INet, hakemisto: " + Home + "INetData/"}));
    EXPECT_TRUE(w->Core().DbModule.DbSession.Active());
    EXPECT_TRUE(w->TimerRun().isActive());
    EXPECT_EQ(w->TimerRun().interval(), 120 * 1000);
    // The settings page shows the file's values.
    EXPECT_EQ(Text(*w, "EdtFtpHostDir"), "/Sorvel");
    EXPECT_EQ(Text(*w, "EdtMaster"), "Master_20000101120000.zip");
  }
}

TEST_F(StartTest, UnreachableDatabaseShowsTheAbortBoxAndTheProgramEnds) {
  ASSERT_EQ(0, ::unlink((Home + "DbServer.ini").c_str()));
  auto w = NewWindow(true);
  w->ShowBoxes = true;
  QString boxText;
  QStringList buttons;
  WhenModalAppears([&](QWidget* modal) {
    auto* box = qobject_cast<QMessageBox*>(modal);
    ASSERT_NE(box, nullptr);
    boxText = box->text();
    for (QAbstractButton* b : box->buttons()) buttons << b->text();
    box->button(QMessageBox::Abort)->click();
  });
  w->FormCreate();
  EXPECT_TRUE(w->Core().TerminateRequested);
  ASSERT_EQ(w->AbortMessages.size(), 1u);
  EXPECT_TRUE(StartsWith(w->AbortMessages[0], "Yhteys SORVEL-kantaan ei onnistu. ")) << w->AbortMessages[0];
  EXPECT_GT(w->AbortMessages[0].size(), std::string("Yhteys SORVEL-kantaan ei onnistu. ").size());
  EXPECT_EQ(boxText.toStdString(), w->AbortMessages[0]);
  EXPECT_EQ(buttons.size(), 1);
  // The rest of the start still ran and logged its own failures.
  ASSERT_FALSE(w->Log().empty());
  EXPECT_TRUE(StartsWith(w->Log()[0], "Yhteys INet-kantaan ei onnistu. ")) << w->Log()[0];
  EXPECT_TRUE(w->Errors.empty());
}

// A setting that cannot be read once stopped the start before the timer, so
// a service ran for ever without its scheduler. It now reads as its default
// with a line naming the key and the value, and the start goes on.
TEST_F(StartTest, ASettingThatIsNoDateDoesNotStopTheStart) {
  Set("Internet", "SendDate", "31.02.2020");
  auto w = NewWindow();
  w->FormCreate();
  EXPECT_TRUE(w->Errors.empty());
  EXPECT_TRUE(w->TimerRun().isActive());
  EXPECT_FALSE(w->Core().TerminateRequested);
  const Lines log = w->Log();
  EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string& line) {
    return line.find("SendDate") != std::string::npos && line.find("31.02.2020") != std::string::npos;
  })) << "the run log names the key and its value";
  EXPECT_EQ(Text(*w, "StatusPanel1"), "Versio 3.0.3.0");
}

TEST_F(StartTest, DialUpWithoutNmcliStopsTheStartAtTheSettingsPage) {
  Set("Internet", "Ras", "Yes");
  const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
  MakeDir(Dir / "nobin");
  ::setenv("PATH", (Dir / "nobin").c_str(), 1);
  struct TRestore {
    std::string Path;
    ~TRestore() { ::setenv("PATH", Path.c_str(), 1); }
  } restore{path};
  auto w = NewWindow();
  w->FormCreate();
  ASSERT_EQ(w->Errors.size(), 1u);
  EXPECT_EQ(w->Errors[0], "Failed to find/load nmcli");
  EXPECT_FALSE(w->TimerRun().isActive());
  EXPECT_FALSE(w->Core().DbModule.DbSession.Active());
}

TEST_F(StartTest, FormPositionIsRestoredOnlyAtTheSameResolutionAndWrittenAtTheEnd) {
  for (int ppi : {ScreenPpi() + 24, ScreenPpi()}) {
    WriteFile(Home + "SorWin.ini", "[TfrmInternet]\nFlags=0\nShowCmd=1\nNormalPos=30,40,730,540\nPixelsPerInch=" +
                                       std::to_string(ppi) + "\nColor=0\n");
    auto w = NewWindow();
    w->FormCreate();
    if (ppi != ScreenPpi()) {
      EXPECT_EQ(w->size(), QSize(674, 392));
      continue;
    }
    EXPECT_EQ(w->geometry(), QRect(30, 40, 700, 500));
    w->SBExitClick();
    EXPECT_TRUE(w->Ended());
    EXPECT_FALSE(w->Core().DbModule.DbSession.Active());
    TIniFile ini(Home + "SorWin.ini");
    EXPECT_EQ(ini.ReadString("TfrmInternet", "NormalPos", ""), "30,40,730,540");
    EXPECT_EQ(ini.ReadString("TfrmInternet", "ShowCmd", ""), "2");  // it ended hidden in the tray
    EXPECT_EQ(ini.ReadString("TfrmInternet", "Flags", ""), "0");
    EXPECT_EQ(ini.ReadInteger("TfrmInternet", "PixelsPerInch", 0), ScreenPpi());
    const QColor c = w->palette().color(QPalette::Window);
    EXPECT_EQ(ini.ReadInteger("TfrmInternet", "Color", -1), c.red() | c.green() << 8 | c.blue() << 16);
  }
}

TEST_F(StartTest, SeveralServersAskTheOperatorWhichOne) {
  WriteFile(Home + "DbServer.ini",
            "[Servers]\nVELMORA=127.0.0.1\nOTHER=127.0.0.1\n[VELMORA.Aliases]\nSORVEL=Data\nINet=INetData\n"
            "[OTHER.Aliases]\nSORVEL=Data\nINet=INetData\n");
  Set("DataBase", "ServerAddress", "");
  auto w = NewWindow(true);
  QStringList listed;
  bool enabledAtFirst = true;
  WhenModalAppears([&](QWidget* modal) {
    auto* form = qobject_cast<Tserver_selection_form*>(modal);
    ASSERT_NE(form, nullptr);
    for (int i = 0; i < form->server_list->count(); ++i) listed << form->server_list->item(i)->text();
    enabledAtFirst = form->sel_but->isEnabled();
    QListWidgetItem* other = form->server_list->item(1);
    const QPoint at = form->server_list->visualItemRect(other).center();
    QTest::mouseClick(form->server_list->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(form->server_list->viewport(), Qt::LeftButton, {}, at);
  });
  w->FormCreate();
  EXPECT_EQ(listed, (QStringList{"VELMORA", "OTHER"}));
  EXPECT_FALSE(enabledAtFirst);
  EXPECT_TRUE(w->Core().DbModule.DbSession.Active());
  EXPECT_EQ(w->Core().DbModule.RemoteServerEngine.Server().Name, "OTHER");
  EXPECT_TRUE(w->AbortMessages.empty());
}

// The program itself, as a service manager runs it.
class ProgramTest : public AppFixture {
 protected:
  pid_t Start() {
    std::vector<std::string> env = {"TRELVO_HOME=" + Home, "QT_QPA_PLATFORM=offscreen", "PATH=/usr/bin:/bin",
                                    "XDG_RUNTIME_DIR=" + Dir.Path()};
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string exe = TRELVO_EXE, err = Dir / "stderr.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    char* argv[] = {exe.data(), nullptr};
    pid_t pid = 0;
    EXPECT_EQ(0, posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv, envp.data()));
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  }
  // Waits until the program catches SIGTERM, that is, until its start has
  // installed the handler.
  bool CatchesTerm(pid_t pid) {
    for (int i = 0; i < 500; ++i) {
      std::ifstream status("/proc/" + std::to_string(pid) + "/status");
      std::string line;
      while (std::getline(status, line))
        if (StartsWith(line, "SigCgt:") && (std::stoull(line.substr(7), nullptr, 16) & (1ull << (SIGTERM - 1)))) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  int Wait(pid_t pid) {
    int status = 0;
    for (int i = 0; i < 3000; ++i) {
      if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    ADD_FAILURE() << "the program did not end";
    return -1;
  }
};

TEST_F(ProgramTest, RunsHiddenWithoutADesktopAndEndsOnSigterm) {
  pid_t pid = Start();
  ASSERT_TRUE(CatchesTerm(pid));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // well into its event loop
  ASSERT_EQ(0, ::kill(pid, SIGTERM));
  EXPECT_EQ(Wait(pid), 0) << ReadFile(Dir / "stderr.txt");
  // It ended as "Sulje" does: the form state is written.
  EXPECT_TRUE(FileExists(Home + "SorWin.ini"));
}

TEST_F(ProgramTest, UnreachableDatabaseEndsTheProgramWithAFailure) {
  ASSERT_EQ(0, ::unlink((Home + "DbServer.ini").c_str()));
  pid_t pid = Start();
  EXPECT_EQ(Wait(pid), 1);
  EXPECT_NE(ReadFile(Dir / "stderr.txt").find("Yhteys SORVEL-kantaan ei onnistu. "), std::string::npos);
  EXPECT_FALSE(FileExists(Home + "SorWin.ini"));
}

}  // namespace
}  // namespace trelvo::test
