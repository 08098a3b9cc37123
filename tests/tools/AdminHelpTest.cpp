// Every subcommand explains itself, and a mistake on the command line is a
// clear message with exit code 2.
#include <gtest/gtest.h>

#include <sstream>

#include "TestSupport.h"

using namespace trelvo::test;

namespace {

std::string Admin() { return BinaryDir() + "/tools/trelvo-admin"; }

std::vector<std::string> Commands() {
  std::string out;
  EXPECT_EQ(0, RunCommand(Admin() + " help", &out));
  std::vector<std::string> names;
  std::istringstream in(out.substr(out.find("commands:\n") + 10));
  std::string line;
  while (std::getline(in, line))
    if (line.size() > 2 && line[0] == ' ') names.push_back(line.substr(2, line.find(' ', 2) - 2));
  return names;
}

}  // namespace

TEST(AdminHelp, EveryCommandHasItsHelp) {
  const std::vector<std::string> names = Commands();
  for (const char* known : {"init", "config", "counts", "dump", "add", "change", "run", "tick", "status", "ftp",
                            "ftp-check", "pack", "unpack", "list"})
    EXPECT_NE(std::find(names.begin(), names.end(), known), names.end()) << known;
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    std::string out, again;
    ASSERT_EQ(0, RunCommand(Admin() + " " + name + " --help", &out));
    EXPECT_EQ(0u, out.find("usage: trelvo-admin " + name));
    // A summary and details beyond the usage line.
    EXPECT_GE(std::count(out.begin(), out.end(), '\n'), 4) << out;
    ASSERT_EQ(0, RunCommand(Admin() + " help " + name, &again));
    EXPECT_EQ(out, again);
  }
}

TEST(AdminHelp, UsageErrorsExitWith2AndSayWhy) {
  TTempDir home;
  ASSERT_EQ(0, RunCommand(Admin() + " init " + home.Path() + " --role client >/dev/null"));
  struct Case {
    std::string args;
    int code;
    std::string message;
  };
  const Case cases[] = {
      {"", 2, "usage: trelvo-admin COMMAND"},
      {"no-such", 2, "unknown command 'no-such'"},
      {"status --stale-days soon", 2, "--stale-days needs a number of days"},
      {"status --stale-day 3", 2, "unknown option --stale-day"},
      {"status --json --prometheus", 2, "choose one"},
      {"status --at tomorrow", 2, "--at needs"},
      {"run sideways", 2, "run needs send or receive"},
      {"init", 2, "missing argument"},
      {"change Kortit KorttiLyh=K1", 2, "change takes Asiakas, KORTTI, KORTTIPA or TILASTO"},
      {"change KORTTI KorttiNro=1", 2, "needs its key KorttiLyh"},
      {"dump", 2, "missing argument"},
      {"status --home " + home / "nothing", 1, "nothing/Sorvel.ini does not exist"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    std::string err;
    const std::string home_ = c.args.find("--home") == std::string::npos && !c.args.empty() ? " --home " + home.Path() : "";
    EXPECT_EQ(c.code, RunCommand(Admin() + " " + c.args + home_ + " 2>&1 >/dev/null", &err));
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
    if (c.code == 2 && !c.args.empty() && c.args != "no-such") {
      EXPECT_NE(err.find("--help tells more"), std::string::npos) << err;
    }
  }
}
