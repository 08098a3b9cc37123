#include "db/DbModule.h"

#include <cstdint>

#include "db/DbError.h"

namespace trelvo {

TDbModule::TDbModule(std::function<std::string()> configFileName) : MainDatabase(DbSession, "Sorvel") {
  RemoteServerEngine.ConfigFileName = std::move(configFileName);
  DbSession.SetServerEngine(&RemoteServerEngine);
  auto choose = [this](TDbTransport& sender, const std::vector<std::string>& names, std::string& name, bool& result) {
    TcpTransportChooseServer(sender, names, name, result);
  };
  TcpTransport.OnChooseServer = choose;
  NamedPipeTransport.OnChooseServer = choose;
  ComTransport.OnChooseServer = choose;
  SecureTransport.Transport = &TcpTransport;
}

TDbModule::TDbModule(const std::string& configFileName)
    : TDbModule(std::function<std::string()>([configFileName] { return configFileName; })) {}

TDbModule::~TDbModule() {
  MainDatabase.Close();
  DbSession.SetServerEngine(nullptr);
}

void TDbModule::ConnectDatabase(int kind, const std::string& alias) {
  RemoteServerEngine.SetEnabled(false);
  switch (kind) {
    case 1: {
      TcpTransport.ServerName = !ServerName.empty() && !ServerAddress.empty() ? ServerName + "@" + ServerAddress : std::string();
      if (static_cast<std::uint16_t>(Port) != 0) TcpTransport.Port = static_cast<std::uint16_t>(Port);
      TcpTransport.CompressLimit = CompressLimit;
      if (SecuredTransport) {
        SecureTransport.Key = Key;
        RemoteServerEngine.SetTransport(&SecureTransport);
      } else {
        RemoteServerEngine.SetTransport(&TcpTransport);
      }
      break;
    }
    case 2:
      NamedPipeTransport.ServerName = ServerName;
      RemoteServerEngine.SetTransport(&NamedPipeTransport);
      break;
    case 3:
      ComTransport.ServerName = ServerName;
      RemoteServerEngine.SetTransport(&ComTransport);
      break;
    default:
      break;
  }
  if (kind >= 1 && kind <= 3) {
    DbSession.SetServerEngine(&RemoteServerEngine);
    RemoteServerEngine.SetEnabled(true);
  }
  if (!alias.empty()) MainDatabase.SetAliasName(alias);
}

void TDbModule::DisconnectDatabase() {
  MainDatabase.Close();
  RemoteServerEngine.CloseTransport();
  if (TRemoteServerEngine* engine = DbSession.ServerEngine()) engine->Close();
  RemoteServerEngine.SetEnabled(false);
}

void TDbModule::TcpTransportChooseServer(TDbTransport& /*sender*/, const std::vector<std::string>& serverNames,
                                         std::string& serverName, bool& result) {
  result = SelectServer(serverNames, serverName);
}

bool TDbModule::SelectServer(const std::vector<std::string>& serverNames, std::string& serverName) {
  if (ServerSelector && ServerSelector->SelectServer(serverNames, serverName)) return true;
  serverName.clear();
  return false;
}

}  // namespace trelvo
