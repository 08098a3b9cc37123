// The window as the operator uses it: tray behaviour, status texts, the
// settings page's fields and keys, the run log, and the scheduler timer and
// buttons over the run control.
#include <signal.h>

#include <QAction>
#include <QCalendarWidget>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStatusTipEvent>
#include <QSystemTrayIcon>
#include <QTest>
#include <QThread>

#include "AppFixture.h"
#include "app/Application.h"
#include "app/Fields.h"
#include "app/SignalWatcher.h"
#include "common/Text.h"
#include "core/Settings.h"

namespace trelvo::test {
namespace {

class WindowTest : public AppFixture {
 protected:
  void Start(bool interactive = false) {
    W = NewWindow(interactive);
    W->FormCreate();
    ASSERT_TRUE(W->Errors.empty()) << W->Errors.front();
  }
  template <class T>
  T* Get(const char* name) {
    T* w = W->findChild<T*>(name);
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  QAction* Action(const char* name) { return Get<QAction>(name); }
  std::unique_ptr<TTestWindow> W;
};

TEST_F(WindowTest, TrayHidesTheWindowAndOnlySuljeEndsTheProgram) {
  Start(true);
  ASSERT_NE(W->TrayIcon(), nullptr);
  EXPECT_FALSE(W->isVisible());
  emit W->TrayIcon()->activated(QSystemTrayIcon::DoubleClick);
  EXPECT_TRUE(W->isVisible());
  EXPECT_FALSE(W->isMinimized());

  W->close();  // the frame's close box
  EXPECT_FALSE(W->isVisible());
  EXPECT_FALSE(W->Ended());

  W->ShowFromTray();
  W->showMinimized();
  QTest::qWait(50);
  EXPECT_FALSE(W->isVisible());
  EXPECT_FALSE(W->Ended());

  QMenu* menu = W->TrayIcon()->contextMenu();
  ASSERT_NE(menu, nullptr);
  ASSERT_EQ(menu->actions().size(), 1);
  EXPECT_EQ(menu->actions()[0]->text(), "Sulje");
  menu->actions()[0]->trigger();
  EXPECT_TRUE(W->Ended());
  EXPECT_TRUE(FileExists(Home + "SorWin.ini"));
}

TEST_F(WindowTest, StatusTextOfTheControlUnderTheMouseGoesToPanelZero) {
  Start();
  W->show();
  QLineEdit* field = Get<QLineEdit>("EdtAsiKpl");
  QStatusTipEvent tip(field->statusTip());
  QApplication::sendEvent(field, &tip);
  EXPECT_EQ(Get<QLabel>("StatusPanel0")->text(), "Siirrettävien asiakastietojen lukumäärä.");
  EXPECT_EQ(Get<QLabel>("StatusPanel0")->width(), 400);
  EXPECT_EQ(Action("SBSend")->toolTip(), "Lähetä");
}

TEST_F(WindowTest, TimeAndDateKeysAndLiveValues) {
  Start();
  auto* time = Get<TTimeField>("TimeRecv");
  auto* date = Get<TDateField>("DateRecv");
  EXPECT_EQ(time->time(), QTime(23, 30));  // a site's receive time as init writes it
  EXPECT_EQ(date->date(), QDate(2000, 1, 1));
  EXPECT_EQ(date->calendarWidget()->firstDayOfWeek(), Qt::Monday);

  QTest::keyClick(time, ':');
  EXPECT_EQ(time->time(), QTime(12, 0));
  EXPECT_EQ(W->Core().Live.TimeRecv, EncodeTime(12, 0, 0));  // at once, without "Talleta"

  QTest::keyClick(date, '.');
  EXPECT_EQ(date->date(), QDate(2026, 12, 10));
  QTest::keyClick(date, '+');
  QTest::keyClick(date, '+');
  QTest::keyClick(date, '-');
  EXPECT_EQ(date->date(), QDate(2026, 12, 11));
  EXPECT_EQ(W->Core().Live.DateRecv, EncodeDate(2026, 12, 11));

  Get<QCheckBox>("ChkBoxSend")->click();
  EXPECT_FALSE(W->Core().Live.ChkBoxSend);
  // Nothing of it is in the file until "Talleta".
  EXPECT_EQ(TIniFile(Home + "Sorvel.ini").ReadString("Internet", "RecvTime", "unset"), "23:30");
  EXPECT_EQ(TIniFile(Home + "Sorvel.ini").ReadString("Internet", "SendFiles", "unset"), "Yes");
}

TEST_F(WindowTest, TalletaTakesThePageIntoMemoryAndTheFile) {
  Start();
  Get<QLineEdit>("EdtFtpHost")->setText("ftp.site.invalid");
  Get<QLineEdit>("EdtFtpPw")->setText("s3cret");
  Get<QCheckBox>("ChkBoxRas")->setChecked(true);
  Get<QCheckBox>("ChkBoxRecv")->setChecked(true);
  Get<QCheckBox>("ChkBoxSend")->setChecked(false);
  Get<QPushButton>("BBtnSave")->click();
  ASSERT_TRUE(W->Errors.empty()) << W->Errors.front();
  EXPECT_EQ(W->Core().Settings.FtpHost, "ftp.site.invalid");
  EXPECT_TRUE(W->Core().Settings.Ras);
  TIniFile ini(Home + "Sorvel.ini");
  EXPECT_EQ(ini.ReadString("Internet", "FtpHost", ""), "ftp.site.invalid");
  EXPECT_EQ(DecipherSetting(ini.ReadString("Internet", "FtpPassWord", "")), "s3cret");
  EXPECT_EQ(ini.ReadString("Internet", "Ras", ""), "Yes");
  EXPECT_EQ(ini.ReadString("Internet", "RecvFiles", ""), "Yes");
  EXPECT_EQ(ini.ReadString("Internet", "SendFiles", ""), "No");
  EXPECT_EQ(ini.ReadString("Internet", "RecvTime", ""), "23:30");

  QLineEdit* pw = Get<QLineEdit>("EdtFtpPw");
  EXPECT_EQ(pw->echoMode(), QLineEdit::Password);
  EXPECT_EQ(pw->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, pw), '*');
}

TEST_F(WindowTest, RunLogFollowsItsNewestLine) {
  Start();
  W->show();
  auto* memo = Get<QPlainTextEdit>("MemoLog");
  for (int i = 0; i < 300; ++i) W->Core().Log("rivi " + std::to_string(i));
  EXPECT_GT(memo->verticalScrollBar()->maximum(), 0);
  EXPECT_EQ(memo->verticalScrollBar()->value(), memo->verticalScrollBar()->maximum());
  EXPECT_TRUE(memo->isReadOnly());
  W->Core().MemoLog.Clear();
  EXPECT_TRUE(memo->toPlainText().isEmpty());
}

TEST_F(WindowTest, TimerFollowsTheRunControlAndRestartsItsFullInterval) {
  Start();
  QTimer& timer = W->TimerRun();
  ASSERT_TRUE(timer.isActive());
  QThread::msleep(300);
  W->Transfer().SetTimerRunEnabled(true);  // already on: the interval runs on
  EXPECT_LE(timer.remainingTime(), 120000 - 250);
  W->Transfer().SetTimerRunEnabled(false);
  EXPECT_FALSE(timer.isActive());
  W->Transfer().SetTimerRunEnabled(true);
  EXPECT_TRUE(timer.isActive());
  EXPECT_GT(timer.remainingTime(), 120000 - 250);

  Set("Internet", "ReTryTime", "0");
  Start();
  EXPECT_FALSE(W->TimerRun().isActive());  // the scheduler is off, the buttons still work
  EXPECT_TRUE(Action("SBSend")->isEnabled());
}

TEST_F(WindowTest, ErrorThatReachesTheEventLoopGoesToTheErrorReport) {
  auto* app = static_cast<TTrelvoApplication*>(QCoreApplication::instance());
  std::vector<std::string> reported;
  app->ErrorReport = [&](const std::string& message) { reported.push_back(message); };
  struct TThrower : QObject {
    bool event(QEvent* e) override {
      if (e->type() == QEvent::User) throw EConvertError("'x' is not a valid date");
      return QObject::event(e);
    }
  } thrower;
  QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
  QCoreApplication::processEvents();
  app->ErrorReport = nullptr;
  EXPECT_EQ(reported, (std::vector<std::string>{"'x' is not a valid date"}));
}

TEST_F(WindowTest, GeneralErrorReportKeepsOneBoxWithTheNewestMessage) {
  Start(true);
  W->ShowBoxes = true;
  W->Core().GeneralErrorReport("first");
  W->Core().GeneralErrorReport("second");
  const auto boxes = W->findChildren<QMessageBox*>("ErrorReport");
  ASSERT_EQ(boxes.size(), 1);
  EXPECT_TRUE(boxes[0]->isVisible());
  EXPECT_FALSE(boxes[0]->isModal());
  EXPECT_EQ(boxes[0]->text(), "second");
  EXPECT_EQ(W->Errors, (Lines{"first", "second"}));
}

// ---- runs over the run control ----
// A failing run needs the transfer runs; where they are not in the build
// yet, these tests say so and skip.

class RunTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    Set("Internet", "SendFiles", "Yes");
    Set("Internet", "FtpHost", "127.0.0.1");
    Set("Internet", "FtpPort", std::to_string(FreeLoopbackPort()));  // nobody listens: the upload fails
    Set("Internet", "ReTryTime", "600");
    Start();
    AddRows(Home + "Data/", "ZNetAsi", {{{"AsNo", "1"}, {"AikaLeima", "01.12.2026 10:00:00"}}});
  }
  void WatchDuringRun() {
    W->OnProcessMessages = [this] {
      ButtonsDuring = ButtonsDuring || Action("SBSend")->isEnabled() || Action("SBReceive")->isEnabled();
      TimerDuring = TimerDuring || W->TimerRun().isActive();
      if (Raise && ++Calls == 2) throw TBoom{};
    };
  }
  void ExpectRestored() {
    EXPECT_FALSE(ButtonsDuring);
    EXPECT_FALSE(TimerDuring);
    EXPECT_TRUE(Action("SBSend")->isEnabled());
    EXPECT_TRUE(Action("SBReceive")->isEnabled());
    EXPECT_TRUE(W->TimerRun().isActive());
    EXPECT_GT(W->TimerRun().remainingTime(), 600000 - 2000);  // the full interval anew
    EXPECT_FALSE(W->Busy());
  }
  struct TBoom {};
  bool ButtonsDuring = false, TimerDuring = false, Raise = false;
  int Calls = 0;
};

TEST_F(RunTest, FailingRunRestoresButtonsAndTimerAndSigtermWaitsForIt) {
  TSignalWatcher watcher;
  QObject::connect(&watcher, &TSignalWatcher::Signalled, W.get(), [this](int) { W->RequestEnd(); });
  WatchDuringRun();
  bool endedDuring = false;
  auto watch = W->OnProcessMessages;
  W->OnProcessMessages = [&] {
    watch();
    if (Calls++ == 0) ::raise(SIGTERM);
    endedDuring = endedDuring || W->Ended();
  };
  QThread::msleep(50);
  W->SBSendClick();
  EXPECT_FALSE(endedDuring);
  EXPECT_TRUE(W->Ended());  // after the run
  EXPECT_EQ(W->Core().ClientSendRetries, 1);
}

TEST_F(RunTest, FailingRunRestoresButtonsAndTimer) {
  WatchDuringRun();
  QThread::msleep(50);
  W->SBSendClick();
  ExpectRestored();
  EXPECT_EQ(W->Core().ClientSendRetries, 1);
  EXPECT_TRUE(W->Errors.empty());
}

TEST_F(RunTest, RunThatRaisesRestoresButtonsAndTimerAndIsReported) {
  Raise = true;
  WatchDuringRun();
  W->SBSendClick();
  ExpectRestored();
  EXPECT_EQ(W->Errors.size(), 1u);
}

}  // namespace
}  // namespace trelvo::test
