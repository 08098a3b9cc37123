// FTP over TLS: whom the client trusts and what it sends before it does
// (a scripted TLS server, so every command is seen), how it fails when a
// server refuses or breaks the handshake, and real transfers against vsftpd
// demanding TLS and session reuse on every data connection.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <thread>

#include "FtpTestKit.h"

namespace trelvo::test {
namespace {

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

bool SentLogin(const std::vector<std::string>& commands) {
  return std::any_of(commands.begin(), commands.end(),
                     [](const std::string& c) { return c.rfind("USER", 0) == 0 || c.rfind("PASS", 0) == 0; });
}

class FtpTlsScripted : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureQtApp();
    Cert = MakeTestCertificate(Dir.Path());
  }
  void Prepare(TFtpClient& c, int port, TFtpTls tls = ftpTlsExplicit) {
    c.HostName = "127.0.0.1";
    c.Port = std::to_string(port);
    c.UserName = "site";
    c.PassWord = "Tls-Secret-42";
    c.Tls = tls;
    c.TlsCaFile = Cert.CertFile;
    c.Timeout = 5;
    c.OnDisplay = [this](TFtpClientCore*, std::string& m) { Log += m + "\n"; };
  }
  // A server that speaks explicit TLS and logs in whoever comes.
  static void TlsLogin(TFakeSession& s, const TTestCertificate& cert) {
    s.Send("220 Fake\r\n");
    if (s.Expect("234 Go ahead\r\n") != "AUTH TLS" || !s.StartTls(cert)) return;
    s.Expect("331 Password\r\n");
    s.Expect("230 In\r\n");
    s.Expect("200 PBSZ=0\r\n");
    s.Expect("200 Protected\r\n");
    s.Expect("221 Bye\r\n");
  }

  TTempDir Dir;
  TTestCertificate Cert;
  std::string Log;
};

// Trust: the CA file and the fingerprint accept the self-signed certificate;
// nothing else does, and then not even USER is sent.
TEST_F(FtpTlsScripted, TrustDecidesBeforeTheLogin) {
  struct TCase {
    const char* Name;
    std::string Host, CaFile, Fingerprint;
    bool Trusted;
    std::string Reason;
  };
  std::string pinned = Cert.Fingerprint;
  pinned.erase(std::remove(pinned.begin(), pinned.end(), ':'), pinned.end());
  std::transform(pinned.begin(), pinned.end(), pinned.begin(), ::tolower);
  std::string wrong = pinned;
  wrong[0] = wrong[0] == 'a' ? 'b' : 'a';
  const TCase cases[] = {
      {"CA file", "127.0.0.1", Cert.CertFile, "", true, ""},
      {"fingerprint without colons, any case", "127.0.0.1", "", pinned, true, ""},
      {"fingerprint as the run log shows it", "127.0.0.1", "", Cert.Fingerprint, true, ""},
      {"system authorities do not know it", "127.0.0.1", "", "", false, "TLS certificate not trusted (self-signed certificate)"},
      {"another fingerprint", "127.0.0.1", "", wrong, false, "TLS certificate does not match the pinned fingerprint"},
      {"fingerprint beats a trusting CA file", "127.0.0.1", Cert.CertFile, wrong, false, "does not match"},
      {"name not in the certificate", "localhost", Cert.CertFile, "", false, "TLS certificate not trusted (hostname mismatch)"},
  };
  for (const TCase& tc : cases) {
    SCOPED_TRACE(tc.Name);
    Log.clear();
    TFakeServer server([&](TFakeSession& s) { TlsLogin(s, Cert); });
    TFtpClient c;
    Prepare(c, server.Port());
    c.HostName = tc.Host;
    c.TlsCaFile = tc.CaFile;
    c.TlsFingerprint = tc.Fingerprint;
    bool ok = c.Connect();
    EXPECT_EQ(ok, tc.Trusted) << c.ErrorMessage() << "\n" << Log;
    if (ok) {
      EXPECT_EQ(c.TlsInfo().Fingerprint, Cert.Fingerprint);
      EXPECT_TRUE(c.Quit());
      EXPECT_EQ(server.Commands(), (std::vector<std::string>{"AUTH TLS", "USER site", "PASS Tls-Secret-42", "PBSZ 0",
                                                             "PROT P", "QUIT"}));
      continue;
    }
    EXPECT_TRUE(Has(c.ErrorMessage(), tc.Reason)) << c.ErrorMessage();
    // The operator can pin what was refused: subject and fingerprint.
    EXPECT_TRUE(Has(c.ErrorMessage(), "CN=127.0.0.1")) << c.ErrorMessage();
    EXPECT_TRUE(Has(c.ErrorMessage(), "SHA-256 " + Cert.Fingerprint)) << c.ErrorMessage();
    EXPECT_FALSE(c.IsConnected());
    EXPECT_FALSE(SentLogin(server.Commands()));
  }
}

// Servers that refuse TLS, break the handshake off or let it stall: the
// session ends with a reason, and the login never crosses in clear.
TEST_F(FtpTlsScripted, RefusedOrBrokenHandshakeEndsTheSession) {
  struct TCase {
    const char* Name;
    TFtpTls Tls;
    std::function<void(TFakeSession&)> Script;
    std::string Reason;
  };
  const TCase cases[] = {
      {"AUTH refused", ftpTlsExplicit,
       [](TFakeSession& s) {
         s.Send("220 Fake\r\n");
         s.Expect("502 AUTH not understood\r\n");
         s.Read();  // whatever comes next, if anything
       },
       "500 TLS refused by the server: 502 AUTH not understood"},
      {"dropped in the handshake", ftpTlsExplicit,
       [](TFakeSession& s) {
         s.Send("220 Fake\r\n");
         s.Expect("234 Go ahead\r\n");
         s.RawReceive();  // the client's hello
         s.CloseControl();
       },
       "500 TLS handshake failed"},
      {"plain text where TLS should be", ftpTlsExplicit,
       [](TFakeSession& s) {
         s.Send("220 Fake\r\n");
         s.Expect("234 Go ahead\r\n");
         s.RawReceive();
         s.Send("331 Password required\r\n");
         s.RawReceive();
       },
       "500 TLS handshake failed"},
      {"stalled in the handshake", ftpTlsExplicit,
       [](TFakeSession& s) {
         s.Send("220 Fake\r\n");
         s.Expect("234 Go ahead\r\n");
         s.RawReceive();
         std::this_thread::sleep_for(std::chrono::milliseconds(1500));
       },
       "426 Timeout"},
      {"implicit, stalled from the first byte", ftpTlsImplicit,
       [](TFakeSession& s) {
         s.RawReceive();
         std::this_thread::sleep_for(std::chrono::milliseconds(1500));
       },
       "426 Timeout"},
  };
  for (const TCase& tc : cases) {
    SCOPED_TRACE(tc.Name);
    Log.clear();
    TFakeServer server(tc.Script);
    TFtpClient c;
    Prepare(c, server.Port(), tc.Tls);
    c.Timeout = 1;
    EXPECT_FALSE(c.Connect()) << Log;
    EXPECT_TRUE(Has(c.ErrorMessage(), tc.Reason)) << c.ErrorMessage() << "\n" << Log;
    EXPECT_FALSE(c.IsConnected());
    EXPECT_FALSE(SentLogin(server.Commands())) << Log;
  }
}

// Lines a server (or someone on the way) puts behind the 234 in clear text
// are dropped: only what arrives under TLS is a reply.
TEST_F(FtpTlsScripted, ClearTextAfterAuthIsNoReply) {
  TFakeServer server([&](TFakeSession& s) {
    s.Send("220 Fake\r\n");
    s.Read();
    s.Send("234 Go ahead\r\n230 Injected\r\n");
    if (!s.StartTls(Cert)) return;
    s.Expect("331 Password\r\n");
    s.Expect("230 In\r\n");
    s.Expect("200 PBSZ=0\r\n");
    s.Expect("200 Protected\r\n");
  });
  TFtpClient c;
  Prepare(c, server.Port());
  ASSERT_TRUE(c.Connect()) << c.ErrorMessage() << "\n" << Log;
  EXPECT_FALSE(Has(Log, "Injected")) << Log;
  EXPECT_EQ(server.Commands(), (std::vector<std::string>{"AUTH TLS", "USER site", "PASS Tls-Secret-42", "PBSZ 0", "PROT P"}));
}

// A data connection is protected or not made: a server that will not take
// PROT P gets no session.
TEST_F(FtpTlsScripted, RefusedProtectionEndsTheLogin) {
  TFakeServer server([&](TFakeSession& s) {
    s.Send("220 Fake\r\n");
    s.Expect("234 Go ahead\r\n");
    if (!s.StartTls(Cert)) return;
    s.Expect("331 Password\r\n");
    s.Expect("230 In\r\n");
    s.Expect("200 PBSZ=0\r\n");
    s.Expect("536 Not here\r\n");
  });
  TFtpClient c;
  Prepare(c, server.Port());
  EXPECT_FALSE(c.Connect());
  EXPECT_EQ(c.ErrorMessage(), "536 Not here");
}

// ---- vsftpd ----

struct TVsCase {
  const char* Name;
  bool Implicit;
  bool Passive;
  const char* Version;
};

class FtpTlsVsftpd : public ::testing::TestWithParam<TVsCase> {
 protected:
  void SetUp() override {
    if (!TVsftpdServer::Available()) GTEST_SKIP() << "vsftpd needs root";
    EnsureQtApp();
    Cert = MakeTestCertificate(Keys.Path());
    Server = std::make_unique<TVsftpdTlsServer>(Root.Path(), std::vector<std::string>{"pub"}, Cert, GetParam().Implicit);
  }
  void Prepare(TFtpClient& c) {
    c.HostName = "127.0.0.1";
    c.Port = std::to_string(Server->Port());
    c.UserName = TVsftpdTlsServer::TlsUser;
    c.PassWord = TVsftpdTlsServer::TlsPassword;
    c.Tls = GetParam().Implicit ? ftpTlsImplicit : ftpTlsExplicit;
    c.TlsCaFile = Cert.CertFile;
    c.TlsHighestVersion = GetParam().Version;
    c.SetPassive(GetParam().Passive);
    c.Timeout = 5;
    c.OnDisplay = [this](TFtpClientCore*, std::string& m) { Log += m + "\n"; };
  }
  TTempDir Keys, Root, Local;
  TTestCertificate Cert;
  std::unique_ptr<TVsftpdTlsServer> Server;
  std::string Log;
};

// Many data connections in a row on one session, each resuming a TLS
// session (vsftpd refuses any other): listings, an upload, a download.
TEST_P(FtpTlsVsftpd, EveryDataConnectionOfASessionResumes) {
  for (const char* n : {"Zuze01_1.Zip", "Zuze02_1.Zip", "Master_1.Zip"}) WriteFile(Root / ("pub/" + std::string(n)), n);
  RunCommand("chown -R " + std::string(TVsftpdTlsServer::TlsUser) + " '" + Root / "pub" + "'");
  const std::string data = RandomBytes(3u << 20, 11);
  WriteFile(Local / "up.zip", data);

  TFtpClient c;
  Prepare(c);
  ASSERT_TRUE(c.Connect()) << c.ErrorMessage() << "\n" << Log;
  EXPECT_EQ(c.TlsInfo().Version, GetParam().Version[0] ? GetParam().Version : "TLSv1.3");
  c.HostDirName = "pub";
  ASSERT_TRUE(c.Cwd()) << c.ErrorMessage();
  c.LocalFileName = Local / "list";
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    c.HostFileName = "Zuze*.Zip";
    ASSERT_TRUE(c.SetAsciiType() && c.Ls()) << c.ErrorMessage() << "\n" << Log;
    EXPECT_EQ(ReadFile(Local / "list"), "Zuze01_1.Zip\r\nZuze02_1.Zip\r\n");
  }
  ASSERT_TRUE(c.SetBinaryType());
  c.HostFileName = "up.zip";
  c.LocalFileName = Local / "up.zip";
  ASSERT_TRUE(c.Stor()) << c.ErrorMessage() << "\n" << Log;
  c.LocalFileName = Local / "down.zip";
  ASSERT_TRUE(c.Retr()) << c.ErrorMessage() << "\n" << Log;
  c.HostFileName = "empty.zip";
  WriteFile(Local / "empty.zip", "");
  c.LocalFileName = Local / "empty.zip";
  ASSERT_TRUE(c.Stor()) << c.ErrorMessage() << "\n" << Log;
  EXPECT_TRUE(c.Quit());
  EXPECT_TRUE(ReadFile(Root / "pub/up.zip") == data);
  EXPECT_TRUE(ReadFile(Local / "down.zip") == data);
  EXPECT_TRUE(FileExists(Root / "pub/empty.zip"));
}

// The one-call forms the upload and download steps use.
TEST_P(FtpTlsVsftpd, OneCallUploadAndDownload) {
  WriteFile(Local / "a.zip", "package");
  TFtpClient up;
  Prepare(up);
  up.HostDirName = "pub";
  up.HostFileName = "a.zip";
  up.LocalFileName = Local / "a.zip";
  ASSERT_TRUE(up.UploadFile()) << up.ErrorMessage() << "\n" << Log;
  TFtpClient down;
  Prepare(down);
  down.HostDirName = "pub";
  down.HostFileName = "a.zip";
  down.LocalFileName = Local / "b.zip";
  ASSERT_TRUE(down.DownloadFile()) << down.ErrorMessage() << "\n" << Log;
  EXPECT_EQ(ReadFile(Local / "b.zip"), "package");
}

INSTANTIATE_TEST_SUITE_P(Modes, FtpTlsVsftpd,
                         ::testing::Values(TVsCase{"ExplicitActive13", false, false, ""},
                                           TVsCase{"ExplicitPassive13", false, true, ""},
                                           TVsCase{"ImplicitActive13", true, false, ""},
                                           TVsCase{"ImplicitPassive13", true, true, ""},
                                           TVsCase{"ExplicitActive12", false, false, "TLSv1.2"},
                                           TVsCase{"ExplicitPassive12", false, true, "TLSv1.2"},
                                           TVsCase{"ImplicitActive12", true, false, "TLSv1.2"},
                                           TVsCase{"ImplicitPassive12", true, true, "TLSv1.2"}),
                         [](const auto& info) { return std::string(info.param.Name); });

// What crosses the loopback during a TLS session: the AUTH TLS that opens
// it, and nothing of the login, the commands or the files.
TEST(FtpTlsWire, NothingCrossesInClear) {
  if (!TVsftpdServer::Available()) GTEST_SKIP() << "vsftpd needs root";
  if (!FileExists("/usr/bin/tcpdump")) GTEST_SKIP() << "tcpdump is not installed";
  EnsureQtApp();
  TTempDir keys, root, local, capture;
  TTestCertificate cert = MakeTestCertificate(keys.Path());
  const int pasv = FreeLoopbackPort();
  const std::string range = std::to_string(pasv) + "-" + std::to_string(pasv + 20);
  TVsftpdTlsServer server(root.Path(), {"pub"}, cert, false,
                          "pasv_min_port=" + std::to_string(pasv) + "\npasv_max_port=" + std::to_string(pasv + 20) + "\n");
  std::string marker;
  for (int i = 0; i < 2000; ++i) marker += "TRELVO-CLEAR-TEXT-";
  WriteFile(local / "up.zip", marker);

  std::string filter = "tcp port " + std::to_string(server.Port()) + " or tcp portrange " + range;
  auto dump = std::make_unique<TChildProcess>(
      std::vector<std::string>{"/usr/bin/tcpdump", "-i", "lo", "-U", "-s", "0", "-Z", "root", "-w", capture / "tls.pcap", filter},
      capture / "tcpdump.log");
  auto dumpLog = [&] { return FileExists(capture / "tcpdump.log") ? ReadFile(capture / "tcpdump.log") : std::string(); };
  for (int i = 0; i < 100 && dumpLog().find("listening") == std::string::npos; ++i) ::usleep(50000);
  ASSERT_NE(dumpLog().find("listening"), std::string::npos) << dumpLog();
  {
    TFtpClient c;
    c.HostName = "127.0.0.1";
    c.Port = std::to_string(server.Port());
    c.UserName = TVsftpdTlsServer::TlsUser;
    c.PassWord = TVsftpdTlsServer::TlsPassword;
    c.Tls = ftpTlsExplicit;
    c.TlsCaFile = cert.CertFile;
    c.SetPassive(true);
    c.Timeout = 5;
    c.HostDirName = "pub";
    c.HostFileName = "up.zip";
    c.LocalFileName = local / "up.zip";
    ASSERT_TRUE(c.UploadFile()) << c.ErrorMessage();
    c.LocalFileName = local / "down.zip";
    ASSERT_TRUE(c.DownloadFile()) << c.ErrorMessage();
    EXPECT_EQ(ReadFile(local / "down.zip"), marker);
  }
  ::usleep(200000);
  dump.reset();  // stopped by its PID; -U wrote every packet at once
  const std::string wire = ReadFile(capture / "tls.pcap");
  ASSERT_NE(wire.find("AUTH TLS"), std::string::npos) << "the capture saw the session";
  for (const std::string& secret : {std::string(TVsftpdTlsServer::TlsPassword), std::string("USER "), std::string("PASS "),
                                    std::string("STOR "), std::string("RETR "), std::string("PASV"),
                                    std::string("TRELVO-CLEAR-TEXT-")})
    EXPECT_EQ(wire.find(secret), std::string::npos) << secret << " crossed in clear";
}

}  // namespace
}  // namespace trelvo::test
