// The Debian package as an operator meets it: built by scripts/package,
// clean for lintian, installed with dpkg, its service user and directory, its
// manual pages and unit, an installation made as the service user, and a
// purge that leaves only what Debian keeps. And the unit's sandbox.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "TestSupport.h"

using namespace trelvo::test;

namespace {

bool Have(const std::string& tool) { return RunCommand("command -v " + tool + " >/dev/null 2>&1") == 0; }

std::string Version() {
  std::string out;
  RunCommand(BinaryDir() + "/tools/trelvo-admin --version", &out);
  return out.substr(out.find(' ') + 1, out.find('\n') - out.find(' ') - 1);
}

// dpkg refuses to work while another dpkg or apt holds its lock (other
// checkouts' tests, an apt-get of the machine): wait for it a while.
int Dpkg(const std::string& args, std::string* out) {
  int rc = 0;
  for (int i = 0; i < 90; ++i) {
    rc = RunCommand("dpkg " + args + " 2>&1", out);
    if (rc == 0 || out->find("lock") == std::string::npos) return rc;
    sleep(2);
  }
  return rc;
}

// Runs of this test from several checkouts of one machine take turns.
class TMachineLock {
 public:
  TMachineLock() : Fd_(::open("/run/lock/trelvo-package-test.lock", O_CREAT | O_RDWR, 0600)) {
    if (Fd_ >= 0) ::flock(Fd_, LOCK_EX);
  }
  ~TMachineLock() {
    if (Fd_ >= 0) ::close(Fd_);
  }

 private:
  int Fd_;
};

// Whatever happens in the test, the machine ends without the package.
struct TPurgeAtEnd {
  ~TPurgeAtEnd() {
    std::string out;
    RunCommand("rm -rf /srv/trelvo/t01");
    Dpkg("--purge trelvo", &out);
  }
};

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

TEST(Package, UnitSandboxExposureIsLow) {
  if (!Have("systemd-analyze")) GTEST_SKIP() << "no systemd-analyze";
  TTempDir dir;
  // The offline check reads the unit as a file of its own name.
  RunCommand("cp " + SourceDir() + "/packaging/trelvo@.service " + dir.Path());
  std::string out;
  RunCommand("systemd-analyze security --offline=yes " + dir / "trelvo@.service" + " 2>&1", &out);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(out, m, std::regex("Overall exposure level for \\S+: ([0-9.]+)"))) << out;
  EXPECT_LE(std::stod(m[1]), 2.5) << out;
}

TEST(Package, BuildsInstallsRunsAndPurgesCleanly) {
  if (geteuid() != 0) GTEST_SKIP() << "installing a package needs root";
  for (const char* tool : {"dpkg-buildpackage", "dh", "lintian", "man", "runuser", "systemd-analyze"})
    if (!Have(tool)) GTEST_SKIP() << "no " << tool << " (scripts/deps installs it)";
  TMachineLock lock;
  std::string out;
  if (RunCommand("dpkg-query -W -f='${Status}' trelvo 2>/dev/null | grep -q 'ok installed'") == 0)
    GTEST_SKIP() << "trelvo is installed on this machine: not touching it";

  TTempDir dir;
  ASSERT_EQ(0, RunCommand("TRELVO_BUILD_DIR=" + BinaryDir() + " " + SourceDir() + "/scripts/package --no-build " +
                              dir.Path() + " 2>&1",
                          &out))
      << out;
  const std::string deb = dir / ("trelvo_" + Version() + "_amd64.deb");
  ASSERT_TRUE(FileExists(deb)) << out;
  // lintian ran in scripts/package and failed it on errors; nothing of it is an error.
  EXPECT_EQ(std::string::npos, out.find("\nE: ")) << out;

  std::string depends;
  RunCommand("dpkg-deb -f " + deb + " Depends", &depends);
  for (const char* lib : {"libc6", "libqt6widgets6", "libsqlite3-0", "zlib1g", "libssl3"})
    EXPECT_NE(depends.find(lib), std::string::npos) << lib << " in " << depends;

  TPurgeAtEnd purge;
  ASSERT_EQ(0, Dpkg("-i " + deb, &out)) << out;
  ASSERT_EQ(0, RunCommand("trelvo-admin --version", &out));
  EXPECT_EQ("trelvo-admin " + Version() + "\n", out);
  ASSERT_EQ(0, RunCommand("/usr/bin/trelvo --version", &out));
  EXPECT_EQ("trelvo " + Version() + "\n", out);

  // The service user and its directory.
  ASSERT_EQ(0, RunCommand("stat -c '%U:%G %a' /srv/trelvo", &out));
  EXPECT_EQ("trelvo:trelvo 750\n", out);
  ASSERT_EQ(0, RunCommand("cd / && runuser -u trelvo -- trelvo-admin init /srv/trelvo/t01 --role client --client 01 2>&1",
                          &out))
      << out;
  ASSERT_EQ(0, RunCommand("stat -c %U /srv/trelvo/t01/Sorvel.ini /srv/trelvo/t01/Data/KORTTI.Nx1", &out));
  EXPECT_EQ("trelvo\ntrelvo\n", out);
  // The service user reads its installation (a fresh one may need attention: exit 1).
  const int status = RunCommand("runuser -u trelvo -- trelvo-admin status --home /srv/trelvo/t01", &out);
  EXPECT_TRUE(status == 0 || status == 1) << out;
  EXPECT_NE(out.find("Pending rows in the exchange tables"), std::string::npos) << out;

  ASSERT_EQ(0, RunCommand("man -w trelvo-admin", &out));
  EXPECT_EQ("/usr/share/man/man1/trelvo-admin.1.gz\n", out);
  ASSERT_EQ(0, RunCommand("man -w trelvo", &out));
  EXPECT_EQ("/usr/share/man/man1/trelvo.1.gz\n", out);
  EXPECT_EQ(0, RunCommand("systemd-analyze verify trelvo@t01.service 2>&1", &out)) << out;
  EXPECT_EQ("", out);
  for (const char* path : {"/usr/share/bash-completion/completions/trelvo-admin", "/usr/share/doc/trelvo/copyright",
                           "/usr/share/doc/trelvo/changelog.gz", "/usr/share/doc/trelvo/README.md.gz",
                           "/usr/share/applications/trelvo.desktop",
                           "/usr/share/icons/hicolor/scalable/apps/trelvo.svg"})
    EXPECT_TRUE(Exists(path)) << path;

  // A purge with an installation still there keeps the operator's data.
  ASSERT_EQ(0, Dpkg("--purge trelvo", &out)) << out;
  EXPECT_TRUE(Exists("/srv/trelvo/t01/Sorvel.ini"));
  RunCommand("rm -rf /srv/trelvo");
  ASSERT_EQ(0, Dpkg("-i " + deb, &out)) << out;
  ASSERT_EQ(0, Dpkg("--purge trelvo", &out)) << out;
  for (const char* path : {"/usr/bin/trelvo", "/usr/bin/trelvo-admin", "/lib/systemd/system/trelvo@.service",
                           "/usr/lib/sysusers.d/trelvo.conf", "/usr/lib/tmpfiles.d/trelvo.conf", "/usr/share/doc/trelvo",
                           "/usr/share/man/man1/trelvo-admin.1.gz", "/srv/trelvo"})
    EXPECT_FALSE(Exists(path)) << path;
  EXPECT_NE(0, RunCommand("dpkg-query -W trelvo >/dev/null 2>&1"));
  // Debian keeps a system user once made: files it owned may remain anywhere.
  EXPECT_EQ(0, RunCommand("getent passwd trelvo >/dev/null"));
}
