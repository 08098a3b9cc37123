// Under a real X server (the app_xvfb test runs this file's tests with
// xvfb-run): a picture of each page and of the server dialog into
// build/screenshots/, for people to look at, and the close request that
// reaches a sibling program's window by its exact title.
#include <QComboBox>
#include <QDir>
#include <QListWidget>
#include <QTabWidget>
#include <QTest>

#include "AppFixture.h"
#include "app/ProgramCloser.h"
#include "app/ServerSelection.h"
#include "data/Schema.h"

namespace trelvo::test {
namespace {

class XvfbTest : public AppFixture {
 protected:
  void SetUp() override {
    if (QGuiApplication::platformName() != "xcb") GTEST_SKIP() << "needs an X server; the app_xvfb test runs it";
    AppFixture::SetUp();
  }
  void Save(QWidget& widget, const std::string& name) {
    const std::string dir = BinaryDir() + "/screenshots/";
    QDir().mkpath(QString::fromStdString(dir));
    QCoreApplication::processEvents();
    EXPECT_TRUE(widget.grab().save(QString::fromStdString(dir + name))) << name;
  }
};

TEST_F(XvfbTest, ScreenshotsOfThePagesAndTheServerDialog) {
  AddRows(Home + "Data/", "ZNetAsi", {{{"AsNo", "1"}, {"AikaLeima", "01.12.2026 10:00:00"}}, {{"AsNo", "2"}}});
  AddRows(Home + "Data/", "ZNetTila", {{{"TapPaikka", "P1"}}, {{"TapPaikka", "P2"}}, {{"TapPaikka", "P3"}}});
  const std::string src = Dir / "src/";
  MakeDir(src);
  CreateExchangeTables(src);
  std::vector<std::vector<std::pair<std::string, std::string>>> customers;
  const char* names[] = {"Virtanen Oy", "Korhonen Ky", "Mäkinen Tmi", "Nieminen", "Hämäläinen", "Laine"};
  for (int i = 0; i < 6; ++i)
    customers.push_back({{"AsNo", std::to_string(1001 + i)},
                         {"AsRyhma", std::to_string(1 + i % 3)},
                         {"AsNimi", names[i]},
                         {"PostiNo", "9010" + std::to_string(i)},
                         {"PostiToimiPaikka", "Oulu"},
                         {"KatuOsoite1", "Kauppakatu " + std::to_string(3 + i)},
                         {"SyntymaAika", "0" + std::to_string(1 + i) + ".05.1970"},
                         {"AikaLeima", "0" + std::to_string(1 + i) + ".12.2026 08:1" + std::to_string(i) + ":00"}});
  AddRows(src, "ZNetAsi", customers);
  std::string big(3 << 20, '\0');
  unsigned x = 7;
  for (char& c : big) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
  WriteFile(src + "ZNetKoPa.Nx1", big);  // large, so the unpacking takes a while

  auto w = NewWindow();
  w->FormCreate();
  ASSERT_TRUE(w->Errors.empty());
  w->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(w.get()));
  auto* pages = w->findChild<QTabWidget*>("PageControl");
  w->SBUpdateClick();

  const std::string zip = Home + "Backup/Zuze01_20261201081500.Zip";
  {
    TZipArchiver archiver;
    archiver.OpenArchive(zip);
    archiver.SetBaseDirectory(src);
    archiver.SetPassword(w->Core().Settings.ZipPassword);
    archiver.AddFiles("ZNetAsi.Nx1;ZNetKoPa.Nx1", 0);
    archiver.CloseArchive();
  }
  // The monitoring page while work is in progress: the meter part way.
  bool taken = false;
  w->OnProcessMessages = [&] {
    const int meter = w->Core().ProgressMeter();
    if (taken || w->Core().LastItemName != "ZNetKoPa.Nx1" || meter < 30 || meter > 80) return;
    taken = true;
    pages->setCurrentIndex(0);
    Save(*w, "seuranta.png");
    pages->setCurrentIndex(1);
  };
  w->PackageToChoose = zip;
  w->TSOpenZipFileClick();
  w->OnProcessMessages = nullptr;
  EXPECT_TRUE(taken);

  auto* table = w->findChild<QComboBox*>("CBoxTaulu");
  table->setCurrentIndex(0);
  w->CBoxTauluChange(0);
  ASSERT_TRUE(w->Errors.empty()) << w->Errors.front();
  Save(*w, "tarkistus.png");

  pages->setCurrentIndex(2);
  Save(*w, "asetukset.png");

  // The run log during a send, while the package is packed (the upload then
  // goes to a port nobody listens on and fails).
  w->Core().Settings.FtpHost = "127.0.0.1";
  w->Core().Settings.FtpPort = std::to_string(FreeLoopbackPort());
  bool duringRun = false;
  w->OnProcessMessages = [&] {
    const auto& lines = w->Core().MemoLog.Lines();
    if (duringRun || lines.empty() || lines.back().rfind("ZNet", 0) != 0) return;
    duringRun = true;
    pages->setCurrentIndex(0);
    Save(*w, "seuranta-lahetys.png");
  };
  w->SBSendClick();
  w->OnProcessMessages = nullptr;
  EXPECT_TRUE(duringRun);

  Tserver_selection_form dialog;
  dialog.SetServerNames({"VELMORA", "VELMORA-VARA", "TESTI"});
  dialog.server_list->setCurrentRow(1);
  dialog.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  Save(dialog, "palvelimen-valinta.png");
}

TEST_F(XvfbTest, CloseRequestReachesTheWindowWithExactlyThatTitle) {
  struct TSibling : QWidget {
    bool Closed = false;
    void closeEvent(QCloseEvent* e) override {
      Closed = true;
      QWidget::closeEvent(e);
    }
  } sorvel, near;
  sorvel.setWindowTitle("SORVEL");
  near.setWindowTitle("SORVEL 2");
  for (QWidget* s : {static_cast<QWidget*>(&sorvel), static_cast<QWidget*>(&near)}) {
    s->resize(200, 100);
    s->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(s));
  }
  TX11ProgramCloser closer;
  EXPECT_TRUE(closer.CloseWindowByTitle("SORVEL"));
  for (int i = 0; i < 250 && !sorvel.Closed; ++i) QTest::qWait(20);
  EXPECT_TRUE(sorvel.Closed);
  EXPECT_FALSE(near.Closed);
  EXPECT_FALSE(closer.CloseWindowByTitle("RAHVO"));
}

}  // namespace
}  // namespace trelvo::test
