// The crash reporter: an error that escaped and a fatal signal each leave a
// report in the Log directory when UseErrorLog is on.
#include <gtest/gtest.h>
#include <signal.h>

#include "TestSupport.h"
#include "core/TrelvoCore.h"

using namespace trelvo;

namespace {

struct CrashReport : ::testing::Test {
  void TearDown() override {
    TCrashReporter::Instance().SetEnabled(false);
    TCrashReporter::Instance().SetDirectory("");
  }
  test::TTempDir Dir;
};

TEST_F(CrashReport, GeneralErrorReportWritesAReportOnlyWhenSwitchedOn) {
  test::MakeDir(Dir / "Log");
  THeadlessView view;
  TTrelvoCore core(Dir.Path(), &view);
  for (bool on : {false, true}) {
    test::WriteFile(Dir / "Sorvel.ini", "[Directory]\nLog=" + Dir / "Log" + "\n[Defaults]\nUseErrorLog=" + (on ? "yes" : "No") + "\n");
    core.StartProgram();  // steps 5 and 6 set up the reporter; the missing database only ends the start's view
    core.GeneralErrorReport(on ? "second" : "first");
  }
  EXPECT_EQ(view.Errors, (std::vector<std::string>{"first", "second"}));
  const std::string report = test::ReadFile(Dir / "Log/TrelvoError.log");
  EXPECT_EQ(report.find("first"), std::string::npos);
  EXPECT_NE(report.find("\nError: second\nStack:\n"), std::string::npos) << report;
  EXPECT_GT(std::count(report.begin(), report.end(), '['), 3) << "too few frames in\n" << report;
  EXPECT_EQ(report.rfind("---- ", 0), 0u);
}

TEST_F(CrashReport, FatalSignalLeavesAReportAndStillEndsTheProcess) {
  TCrashReporter::Instance().SetDirectory(Dir.Path());
  EXPECT_EXIT(
      {
        TCrashReporter::Instance().SetEnabled(true);
        ::raise(SIGSEGV);
      },
      ::testing::KilledBySignal(SIGSEGV), "");
  const std::string report = test::ReadFile(Dir / "TrelvoError.log");
  EXPECT_NE(report.find("\nSignal: 11 (SIGSEGV)\nStack:\n"), std::string::npos) << report;
  EXPECT_GT(std::count(report.begin(), report.end(), '\n'), 4) << report;
}

TEST_F(CrashReport, NoDirectoryNoReport) {
  TCrashReporter::Instance().SetEnabled(true);
  EXPECT_FALSE(TCrashReporter::Instance().ReportError("lost"));
}

}  // namespace
