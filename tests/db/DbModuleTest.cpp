#include <gtest/gtest.h>

#include "DbFixture.h"
#include "db/DbError.h"

namespace trelvo::test {
namespace {

struct TConnectCase {
  const char* Name;
  int Kind;
  const char* ServerName;
  const char* ServerAddress;
  int Port;
  bool Secured;
  TTransportType Expected;
  const char* TransportServerName;
  int TcpPort;
};

TEST(DbModuleConnect, ConfiguresTheTransportOfEachKind) {
  const TConnectCase cases[] = {
      {"name and address joined", 1, "SRV", "10.0.0.1", 0, false, TTransportType::tcpip, "SRV@10.0.0.1", 16000},
      {"no address, no name", 1, "SRV", "", 17000, false, TTransportType::tcpip, "", 17000},
      {"no name, no name", 1, "", "10.0.0.1", 0, false, TTransportType::tcpip, "", 16000},
      {"port taken as 16 bits", 1, "SRV", "h", 65536 + 21, false, TTransportType::tcpip, "SRV@h", 21},
      {"port 65536 is 0 and keeps the default", 1, "SRV", "h", 65536, false, TTransportType::tcpip, "SRV@h", 16000},
      {"secured wraps TCP/IP", 1, "SRV", "h", 0, true, TTransportType::secure, "SRV@h", 16000},
      {"named pipe ignores secured", 2, "SRV", "h", 0, true, TTransportType::namedPipe, "SRV", 16000},
      {"COM takes the name alone", 3, "SRV", "h", 17000, false, TTransportType::com, "SRV", 16000},
  };
  for (const TConnectCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TDbModule m(std::string("/nonexistent/DbServer.ini"));
    m.ServerName = c.ServerName;
    m.ServerAddress = c.ServerAddress;
    m.Port = c.Port;
    m.CompressLimit = 777;
    m.SecuredTransport = c.Secured;
    m.Key = "avain";
    m.ConnectDatabase(c.Kind, "Main");
    ASSERT_NE(nullptr, m.RemoteServerEngine.Transport());
    EXPECT_EQ(c.Expected, m.RemoteServerEngine.Transport()->Type());
    EXPECT_TRUE(m.RemoteServerEngine.Enabled());
    EXPECT_EQ(&m.RemoteServerEngine, m.DbSession.ServerEngine());
    EXPECT_FALSE(m.DbSession.Active()) << "connect opens nothing";
    TDbTransport* named = c.Kind == 1 ? static_cast<TDbTransport*>(&m.TcpTransport)
                          : c.Kind == 2 ? static_cast<TDbTransport*>(&m.NamedPipeTransport)
                                        : static_cast<TDbTransport*>(&m.ComTransport);
    EXPECT_EQ(c.TransportServerName, named->ServerName);
    EXPECT_EQ(c.TcpPort, m.TcpTransport.Port);
    if (c.Kind == 1) {
      EXPECT_EQ(777, m.TcpTransport.CompressLimit);
    }
    if (c.Expected == TTransportType::secure) {
      EXPECT_EQ("avain", m.SecureTransport.Key);
      EXPECT_EQ(&m.TcpTransport, m.SecureTransport.Transport);
    }
    for (TDbTransport* t : {static_cast<TDbTransport*>(&m.TcpTransport), static_cast<TDbTransport*>(&m.SecureTransport)}) {
      EXPECT_EQ(0, t->MaxBytesPerSecond);
      EXPECT_EQ(0, t->PingTime);
    }
  }
}

TEST(DbModuleConnect, EmptyAliasKeepsTheEarlierOne) {
  TDbModule m(std::string("/nonexistent/DbServer.ini"));
  EXPECT_EQ("Sorvel", m.MainDatabase.AliasName());
  m.ConnectDatabase(3, "");
  EXPECT_EQ("Sorvel", m.MainDatabase.AliasName());
  m.ConnectDatabase(3, "Main");
  m.ConnectDatabase(1, "");
  EXPECT_EQ("Main", m.MainDatabase.AliasName());
}

class TAnswer : public TServerSelector {
 public:
  bool SelectServer(const std::vector<std::string>& names, std::string& name) override {
    Asked.push_back(names);
    name = Choice;
    return !Choice.empty();
  }
  std::string Choice;
  std::vector<std::vector<std::string>> Asked;
};

class DbModuleTest : public ::testing::Test {
 protected:
  void Servers(const std::string& ini) { WriteFile(F.Dir / "DbServer.ini", ini); }
  TDbFixture F;
  TDbModule& M = *F.Module;
};

TEST_F(DbModuleTest, SeveralServersFoundAskTheChooseServerHandler) {
  MakeDir(F.Dir / "Two");
  Servers("[Servers]\nONE=\nTWO=localhost\nTHREE=\n[ONE.Aliases]\nMain=Data\n[TWO.Aliases]\nMain=Two\n");
  TAnswer answer;
  M.ServerSelector = &answer;
  M.ServerAddress = "";  // no address: the transport looks for servers itself
  M.ConnectDatabase(1, "Main");
  answer.Choice = "TWO";
  M.DbSession.Open();
  ASSERT_EQ(1u, answer.Asked.size());
  EXPECT_EQ((std::vector<std::string>{"ONE", "TWO", "THREE"}), answer.Asked[0]);
  EXPECT_TRUE(M.DbSession.Active());
  EXPECT_EQ("TWO", M.RemoteServerEngine.Server().Name);
  EXPECT_EQ(F.Dir / "Two", M.DbSession.GetAliasPath("main"));

  // Choosing nothing leaves the session closed with the library's error.
  M.DisconnectDatabase();
  M.ConnectDatabase(2, "Main");
  M.NamedPipeTransport.ServerName = "";
  answer.Choice = "";
  std::string name = "stale";
  EXPECT_FALSE(M.SelectServer({"ONE"}, name));
  EXPECT_EQ("", name);
  EXPECT_EQ(dbeNoServerChosen, ErrorOf([&] { M.DbSession.Open(); }));
  EXPECT_FALSE(M.DbSession.Active());
  M.ServerSelector = nullptr;
  EXPECT_EQ(dbeNoServerChosen, ErrorOf([&] { M.DbSession.Open(); }));
}

TEST_F(DbModuleTest, ServerNamesAndAddressesThatCannotBeReachedAreErrors) {
  M.ServerName = "MUU";
  M.ConnectDatabase(1, "Main");
  EXPECT_EQ(dbeUnknownServer, ErrorOf([&] { M.DbSession.Open(); }));
  M.ServerName = "testsrv";
  M.ServerAddress = "192.0.2.7";
  M.ConnectDatabase(1, "Main");
  EXPECT_EQ(dbeServerUnreachable, ErrorOf([&] { M.DbSession.Open(); }));
  M.ServerAddress = "localhost";
  M.ConnectDatabase(1, "Main");
  M.DbSession.Open();
  EXPECT_TRUE(M.DbSession.Active());
  EXPECT_EQ(dbeUnknownAlias, ErrorOf([&] { M.DbSession.GetAliasPath("Tuntematon"); }));

  TDbModule noConfig(F.Dir / "Puuttuu.ini");
  noConfig.ConnectDatabase(3, "Main");
  try {
    noConfig.DbSession.Open();
    ADD_FAILURE() << "opened without a configuration";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(dbeNoServer, e.ErrorCode());
    EXPECT_NE(e.Description().find("Puuttuu.ini"), std::string::npos);
    EXPECT_EQ(e.Description() + " [$2A01]", e.Message());
  }
}

TEST_F(DbModuleTest, OpeningATableOpensDatabaseSessionAndEngineAndDisconnectClosesAll) {
  CreateTableFile(F.DataDir(), AllTypesDef());
  TDbTable t(M.MainDatabase, "Kaikki", "Nimi");
  EXPECT_FALSE(M.DbSession.Active());
  t.Open();
  EXPECT_TRUE(M.DbSession.Active());
  EXPECT_TRUE(M.MainDatabase.Connected());
  EXPECT_EQ(F.DataDir(), M.MainDatabase.Directory());
  EXPECT_TRUE(M.TcpTransport.Connected());

  M.DisconnectDatabase();
  EXPECT_FALSE(t.Active());
  EXPECT_FALSE(M.MainDatabase.Connected());
  EXPECT_FALSE(M.DbSession.Active());
  EXPECT_FALSE(M.TcpTransport.Connected());
  EXPECT_FALSE(M.RemoteServerEngine.Enabled());
  EXPECT_EQ(dbeEngineDisabled, ErrorOf([&] { t.Open(); }));

  M.ConnectDatabase(1, "Main");
  t.Open();
  EXPECT_TRUE(t.Active());
  EXPECT_EQ(dbeDatabaseOpen, ErrorOf([&] { M.MainDatabase.SetAliasName("Other"); }));
}

}  // namespace
}  // namespace trelvo::test
