// The manual pages and the bash completion are made from the programs' help
// texts at build time: every command and option is in them, the pages are
// clean roff, and the completion offers what the tool takes.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "TestSupport.h"

using namespace trelvo::test;

namespace {

std::string Admin() { return BinaryDir() + "/tools/trelvo-admin"; }
std::string Docs() { return BinaryDir() + "/packaging/docs/"; }

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

// What the completion offers for the words of a command line, the last one
// being completed.
std::string Complete(const std::string& words) {
  const std::string script = "source " + Docs() + "trelvo-admin.bash-completion; COMP_WORDS=(trelvo-admin " + words +
                             "); COMP_CWORD=$((${#COMP_WORDS[@]}-1)); [[ \"" + words +
                             "\" == *' ' ]] && COMP_WORDS+=('') && COMP_CWORD=$((COMP_CWORD+1)); _trelvo_admin; "
                             "echo \"${COMPREPLY[*]}\"";
  std::string out;
  EXPECT_EQ(0, RunCommand("bash -c '" + std::regex_replace(script, std::regex("'"), "'\\''") + "'", &out));
  return out.substr(0, out.find('\n'));
}

}  // namespace

TEST(AdminManual, PagesListEveryCommandAndOptionAndAreCleanRoff) {
  const std::string page = ReadFile(Docs() + "trelvo-admin.1");
  const std::vector<std::string> names = Commands();
  ASSERT_GE(names.size(), 10u);
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    EXPECT_NE(page.find("\n.SS " + std::regex_replace(name, std::regex("-"), "\\-") + "\n"), std::string::npos);
    std::string help;
    ASSERT_EQ(0, RunCommand(Admin() + " " + name + " --help", &help));
    const std::regex option("--[a-z][a-z0-9-]*");
    for (auto it = std::sregex_iterator(help.begin(), help.end(), option); it != std::sregex_iterator(); ++it) {
      const std::string roff = std::regex_replace(it->str(), std::regex("-"), "\\-");
      EXPECT_NE(page.find(roff), std::string::npos) << it->str();
    }
  }
  EXPECT_NE(ReadFile(Docs() + "trelvo.1").find("TRELVO_HOME"), std::string::npos);
  for (const char* file : {"trelvo-admin.1", "trelvo.1"}) {
    std::string warnings;
    EXPECT_EQ(0, RunCommand("LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z " + Docs() + file + " 2>&1", &warnings));
    EXPECT_EQ("", warnings) << file;
  }
}

TEST(AdminManual, CompletionOffersCommandsOptionsAndWords) {
  struct Case {
    std::string words, expected;
  };
  const Case cases[] = {
      {"sta", "status"},
      {"ftp", "ftp ftp-check"},
      {"status --pr", "--prometheus"},
      {"status --st", "--stale-days"},
      {"run ", "send receive"},
      {"run --ho", "--home"},
      {"--ver", "--version"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.expected, Complete(c.words)) << c.words;
}
