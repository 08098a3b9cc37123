// The order of a head office's receive as the file system sees it, recorded
// with strace: a result line is written only when every table file of the
// main database is on disk (nothing written to it since its last sync, and
// its journal's deletion synced), and a package leaves Tmp only when its
// backup copy is on disk.
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <thread>

#include <sys/wait.h>

#include "ExchangeFixture.h"
#include "common/Text.h"

namespace trelvo::test {
namespace {

struct TOrderCheck {
  int ResultLines = 0, Deletions = 0, Syncs = 0;
  // What the checks saw of the tables, so that they cannot pass on paths
  // that never match.
  int TableWrites = 0, Commits = 0;
  std::vector<std::string> Faults;
};

// Reads strace -f -y output of the receive. dataDir, backupDir, logDir and
// tmpDir end with "/".
TOrderCheck CheckOrder(const std::string& traceFile, const std::string& dataDir, const std::string& backupDir,
                       const std::string& logDir, const std::string& tmpDir) {
  TOrderCheck out;
  std::set<std::string> dirty;  // files written since their last sync
  std::set<std::string> dirtyDirs;  // directories whose entries changed since their last sync
  const std::regex call(R"(^(?:\d+\s+)?(\w+)\((.*))");
  const std::regex fdPath(R"(^\d+<([^>]*)>)");
  const std::regex quoted(R"("([^"]*)\")");
  auto under = [](const std::string& path, const std::string& dir) { return StartsWith(path, dir); };
  auto noSlash = [](std::string d) { return d.substr(0, d.size() - 1); };
  std::ifstream in(traceFile);
  std::string line;
  while (std::getline(in, line)) {
    std::smatch m;
    if (!std::regex_search(line, m, call)) continue;
    const std::string name = m[1], args = m[2];
    std::smatch f;
    const bool hasFd = std::regex_search(args, f, fdPath);
    const std::string fd = hasFd ? std::string(f[1]) : "";
    std::vector<std::string> paths;
    for (auto it = std::sregex_iterator(args.begin(), args.end(), quoted); it != std::sregex_iterator(); ++it)
      paths.push_back((*it)[1]);
    if (name == "write" || name == "pwrite64" || name == "writev" || name == "pwritev") {
      if (under(fd, dataDir) || under(fd, backupDir)) dirty.insert(fd);
      if (under(fd, dataDir) && EndsWith(fd, ".Nx1")) ++out.TableWrites;
    } else if (name == "fsync" || name == "fdatasync") {
      ++out.Syncs;
      dirty.erase(fd);
      dirtyDirs.erase(fd);
    } else if (name == "syncfs") {
      // A whole file system, but taken as the directory it was asked for
      // only: the test's directories share one, an installation's need not.
      ++out.Syncs;
      std::erase_if(dirty, [&](const std::string& p) { return under(p, fd + "/") || p == fd; });
      std::erase_if(dirtyDirs, [&](const std::string& p) { return under(p, fd + "/") || p == fd; });
    } else if ((name == "unlink" || name == "unlinkat") && !paths.empty()) {
      const std::string& p = paths.back();
      dirty.erase(p);  // a journal written and deleted is no longer anything to sync
      if (under(p, dataDir) && EndsWith(p, "-journal")) {
        ++out.Commits;
        dirtyDirs.insert(noSlash(dataDir));
      }
      if (under(p, tmpDir) && EndsWith(p, ".Zip")) {
        ++out.Deletions;
        const std::string copy = backupDir + ExtractFileName(p);
        if (dirty.count(copy) || dirtyDirs.count(noSlash(backupDir)))
          out.Faults.push_back("deleted before its backup copy was synced: " + p);
      }
    } else if ((name == "rename" || name == "renameat" || name == "renameat2") && paths.size() >= 2) {
      const std::string& from = paths[0];
      const std::string& to = paths[1];
      if (dirty.erase(from)) dirty.insert(to);
      if (under(to, backupDir)) dirtyDirs.insert(noSlash(backupDir));
      if (under(to, logDir) && EndsWith(to, ".log")) {
        ++out.ResultLines;
        for (const std::string& d : dirty)
          if (under(d, dataDir)) out.Faults.push_back("result line " + to + " while " + d + " was not synced");
        if (dirtyDirs.count(noSlash(dataDir))) out.Faults.push_back("result line " + to + " before the commit's directory sync");
      }
    }
  }
  return out;
}

class DurableOrder : public TwoSitesFixture {};

TEST_F(DurableOrder, ResultLinesFollowTheCommitAndDeletionsTheBackupSync) {
  if (RunCommand("command -v strace >/dev/null") != 0) GTEST_SKIP() << "strace is not installed";
  for (int day : {2}) {
    Clock.Set(Day(day, 20));
    S1->ChangeCard("K1", "1", "A1", Day(day, 20, 1));
    S1->Visit("K1", "HALLI", Day(day, 20, 2));
    S2->ChangeCard("K2", "2", "A2", Day(day, 20, 3));
    S2->Visit("K2", "SALI", Day(day, 20, 4));
  }
  for (TInstallation* s : {S1, S2}) {
    Clock.Set(Day(2, 22, 0, s == S1 ? 1 : 2));
    s->Send();
  }
  // One package a batch: the second batch's writes follow the first one's
  // result lines, which is where a missing sync would show.
  M->Transfer->BatchPackages = 1;
  TTempDir traceDir;
  const std::string trace = traceDir / "receive.trace";
  const pid_t self = ::getpid();
  const pid_t tracer = ::fork();
  if (tracer == 0) {
    const std::string pid = std::to_string(self);
    ::execlp("strace", "strace", "-f", "-y", "-qq", "-s", "0", "-o", trace.c_str(), "-e",
             "trace=write,pwrite64,writev,pwritev,fsync,fdatasync,syncfs,unlink,unlinkat,rename,renameat,renameat2",
             "-p", pid.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // strace has attached once it has written the file's first line.
  for (int i = 0; i < 200 && (!FileExists(trace) || ReadFile(trace).empty()); ++i) {
    (void)!::write(-1, "", 0);  // a traced call of our own, to see
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_FALSE(ReadFile(trace).empty()) << "strace did not attach";
  Clock.Set(Day(2, 22, 30, 1));
  Lines log = M->Receive();
  ::kill(tracer, SIGINT);
  ::waitpid(tracer, nullptr, 0);
  EXPECT_TRUE(M->Transfer->LastRunSucceeded()) << Joined(log);

  const TOrderCheck check =
      CheckOrder(trace, M->Dir + "Data/", M->Dir + "Backup/", M->Dir + "INet/Log/", M->Dir + "INet/Tmp/");
  EXPECT_EQ(2, check.ResultLines);
  EXPECT_EQ(2, check.Deletions);
  EXPECT_GT(check.TableWrites, 0);
  EXPECT_GT(check.Commits, 0);
  std::string faults;
  for (const std::string& f : check.Faults) faults += f + "\n";
  EXPECT_TRUE(check.Faults.empty()) << faults;
  EXPECT_EQ(2, M->Count("TILASTO"));
}

}  // namespace
}  // namespace trelvo::test
