// The package viewer: its dialog, the unpacking into the INet database and
// what the inspection page then shows; and a close or a SIGTERM that comes
// while it unpacks.
#include <signal.h>

#include <QFileDialog>
#include <QHeaderView>
#include <QListView>
#include <QTabWidget>
#include <QTableView>
#include <QTest>

#include "AppFixture.h"
#include "common/Text.h"
#include "app/SignalWatcher.h"
#include "data/Schema.h"

namespace trelvo::test {
namespace {

class ViewerTest : public AppFixture {
 protected:
  void SetUp() override {
    AppFixture::SetUp();
    W = NewWindow();
    W->FormCreate();
    ASSERT_TRUE(W->Errors.empty());
    MakeDir(Src);
    CreateExchangeTables(Src);
    AddRows(Src, "ZNetAsi",
            {{{"AsNo", "A2"}, {"AsNimi", "Toinen"}, {"AikaLeima", "02.01.2026 08:00:00"}},
             {{"AsNo", "A1"}, {"AsNimi", "Eka"}, {"AikaLeima", "01.01.2026 08:00:00"}}});
    WriteFile(Src + "Readme.txt", "not a table");
  }
  std::string Package(const std::string& name, const std::string& mask = "*") {
    const std::string zip = Home + "Backup/" + name;
    Pack(zip, Src, mask, W->Core().Settings.ZipPassword);
    return zip;
  }
  // A table file large enough that unpacking it lets the event loop turn many times.
  void AddBigTable() {
    std::string data(2 << 20, '\0');
    unsigned x = 12345;
    for (char& c : data) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
    WriteFile(Src + "Big.Nx1", data);
  }
  QTableView* Grid() { return W->findChild<QTableView*>("SGrid"); }
  int Page() { return W->findChild<QTabWidget*>("PageControl")->currentIndex(); }
  int Count(const std::string& line) { return static_cast<int>(std::count(W->Log().begin(), W->Log().end(), line)); }

  std::string Src = Dir / "src/";
  std::unique_ptr<TTestWindow> W;
};

TEST_F(ViewerTest, DialogOpensInTheBackupDirectoryWithTheGroupsMask) {
  for (const char* name : {"Zuze01_1.Zip", "Other_1.Zip", "Zuze02_2.zip", "Zuze03.txt"}) WriteFile(Home + "Backup/" + name, "x");
  auto dialog = W->NewPackageDialog();
  EXPECT_EQ(dialog->windowTitle(), "Valitse arkistotiedosto.");
  EXPECT_EQ(dialog->nameFilters(), QStringList{"Arkistotiedostot (*.Zip)"});
  EXPECT_EQ(dialog->defaultSuffix(), "Zip");
  EXPECT_EQ(dialog->fileMode(), QFileDialog::ExistingFile);
  EXPECT_EQ(dialog->directory().absolutePath() + "/", QString::fromStdString(Home + "Backup/"));
  dialog->show();
  auto* list = dialog->findChild<QListView*>("listView");
  ASSERT_NE(list, nullptr);
  QStringList listed;
  for (int wait = 0; wait < 100 && listed.size() < 2; ++wait) {
    QTest::qWait(20);
    listed.clear();
    for (int i = 0; i < list->model()->rowCount(list->rootIndex()); ++i)
      listed << list->model()->index(i, 0, list->rootIndex()).data().toString();
  }
  // The mask is the group's; the filter's letter case does not matter, as on the sites' old systems.
  EXPECT_EQ(listed, (QStringList{"Zuze01_1.Zip", "Zuze02_2.zip"}));
}

TEST_F(ViewerTest, UnpacksOnlyTheTableFilesAndTheInspectionPageShowsThem) {
  const std::string zip = Package("Zuze01_20260101080000.Zip");
  W->PackageToChoose = zip;
  W->TSOpenZipFileClick();
  EXPECT_EQ(Page(), 1);
  EXPECT_EQ(W->Core().CurrentPackage, zip);
  EXPECT_EQ(Count("Puretaan siirtotiedosto..."), 1);
  EXPECT_EQ(Count("Tiedoston purku ei onnistu (Zip-rikki)!"), 0);
  EXPECT_FALSE(FileExists(Home + "INetData/Readme.txt"));
  EXPECT_EQ(ReadFile(Home + "INetData/ZNetAsi.Nx1"), ReadFile(Src + "ZNetAsi.Nx1"));
  // The viewer does not fill the grid; choosing a table does.
  EXPECT_EQ(Grid()->model()->rowCount(), 1);
  W->CBoxTauluChange(0);
  ASSERT_TRUE(W->Errors.empty()) << W->Errors.front();
  QAbstractItemModel* model = Grid()->model();
  ASSERT_EQ(model->rowCount(), 2);
  ASSERT_EQ(model->columnCount(), 14);
  EXPECT_EQ(model->headerData(4, Qt::Horizontal).toString(), "ToimiPaikka");
  EXPECT_EQ(model->index(0, 0).data().toString(), "A1");
  EXPECT_EQ(model->index(1, 2).data().toString(), "Toinen");
  EXPECT_EQ(Grid()->columnWidth(0), 120);
  EXPECT_EQ(Grid()->columnWidth(1), 70);
  EXPECT_EQ(Grid()->columnWidth(13), 150);
  // Cards have seven fields; columns 5 and 6 keep the customer widths.
  W->CBoxTauluChange(1);
  EXPECT_EQ(Grid()->model()->columnCount(), 7);
  EXPECT_EQ(Grid()->model()->rowCount(), 0);
  EXPECT_EQ(Grid()->columnWidth(1), 80);
  EXPECT_EQ(Grid()->columnWidth(5), 120);
  // A column the operator widens keeps that width until a layout sets it.
  Grid()->horizontalHeader()->resizeSection(6, 99);
  W->CBoxTauluChange(1);
  EXPECT_EQ(Grid()->columnWidth(6), 99);
}

TEST_F(ViewerTest, DamagedPackageGetsTheViewersTwoLines) {
  WriteFile(Home + "Backup/Zuze01_bad.Zip", "this is no zip file at all");
  W->PackageToChoose = Home + "Backup/Zuze01_bad.Zip";
  W->TSOpenZipFileClick();
  const Lines& log = W->Log();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[log.size() - 2], "Tiedoston purku ei onnistu (Zip-rikki)!");
  EXPECT_TRUE(StartsWith(log.back(), "Virhe : ")) << log.back();
  EXPECT_TRUE(W->Errors.empty());
  EXPECT_FALSE(W->Core().ZipArchiver.Active());
}

TEST_F(ViewerTest, InspectingATableThatIsMissingGoesToTheErrorReport) {
  ASSERT_EQ(0, ::unlink((Home + "INetData/ZNetTila.Nx1").c_str()));
  W->CBoxTauluChange(3);
  ASSERT_EQ(W->Errors.size(), 1u);
  EXPECT_FALSE(W->Busy());
}

TEST_F(ViewerTest, CloseAndRunsAreRefusedWhileItUnpacks) {
  AddBigTable();
  const std::string zip = Package("Zuze01_big.Zip", "*.Nx1");
  W->show();
  int calls = 0;
  W->OnProcessMessages = [&] {
    if (++calls != 3) return;
    W->SBExitClick();
    W->close();  // the frame's close box
    W->SBSendClick();
    W->TimerRunTimer();
  };
  W->PackageToChoose = zip;
  W->TSOpenZipFileClick();
  EXPECT_GT(calls, 3);
  EXPECT_EQ(Count("Pakkaus käynnissä, odota..."), 2);  // the end and the send
  EXPECT_FALSE(W->Ended());
  EXPECT_FALSE(W->isVisible());
  EXPECT_EQ(ReadFile(Home + "INetData/Big.Nx1"), ReadFile(Src + "Big.Nx1"));
  // Afterwards "Sulje" ends the program at once.
  W->SBExitClick();
  EXPECT_TRUE(W->Ended());
}

TEST_F(ViewerTest, SigtermWhileItUnpacksEndsTheProgramAfterIt) {
  AddBigTable();
  const std::string zip = Package("Zuze01_big.Zip", "*.Nx1");
  TSignalWatcher watcher;
  QObject::connect(&watcher, &TSignalWatcher::Signalled, W.get(), [this](int) { W->RequestEnd(); });
  int calls = 0, endedDuring = 0;
  W->OnProcessMessages = [&] {
    if (++calls == 2) ::raise(SIGTERM);
    if (W->Ended()) ++endedDuring;
  };
  W->PackageToChoose = zip;
  W->TSOpenZipFileClick();
  EXPECT_GT(calls, 3);
  EXPECT_EQ(endedDuring, 0);
  EXPECT_TRUE(W->Ended());
  EXPECT_EQ(ReadFile(Home + "INetData/Big.Nx1"), ReadFile(Src + "Big.Nx1"));
  EXPECT_TRUE(FileExists(Home + "SorWin.ini"));
  EXPECT_FALSE(W->Core().DbModule.DbSession.Active());
}

}  // namespace
}  // namespace trelvo::test
