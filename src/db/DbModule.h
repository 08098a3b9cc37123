#pragma once
// The data module: the session, the main database, the remote server engine
// and its four transports, configured from the [DataBase] settings.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "db/DbDatabase.h"
#include "db/DbServer.h"

namespace trelvo {

// Answers the choose-server question; the window fills it with the server
// selection dialog, tests answer directly.
class TServerSelector {
 public:
  virtual ~TServerSelector() = default;
  // True with the chosen name, false with the name emptied.
  virtual bool SelectServer(const std::vector<std::string>& serverNames, std::string& serverName) = 0;
};

class TDbModule {
 public:
  // configFileName: the DbServer.ini to serve from, asked on every connect.
  explicit TDbModule(std::function<std::string()> configFileName);
  explicit TDbModule(const std::string& configFileName);
  ~TDbModule();
  TDbModule(const TDbModule&) = delete;
  TDbModule& operator=(const TDbModule&) = delete;

  // Declared in the order they must be built and in reverse the order they go.
  TTcpTransport TcpTransport;
  TNamedPipeTransport NamedPipeTransport;
  TComTransport ComTransport;
  TSecureTransport SecureTransport;
  TRemoteServerEngine RemoteServerEngine;
  TDbSession DbSession;
  TDbDatabase MainDatabase;

  // Connection fields, written by the settings loader.
  std::string ServerName;
  std::string ServerAddress;
  int Port = 0;  // taken as an unsigned 16-bit port; 0 keeps the transport's own
  int CompressLimit = 0;
  bool SecuredTransport = false;
  std::string Key;

  // The window's dialog; without one, SelectServer chooses nothing.
  TServerSelector* ServerSelector = nullptr;

  // kind: 1 TCP/IP, 2 named pipe, 3 COM. Configures; opens nothing.
  void ConnectDatabase(int kind, const std::string& alias);
  void DisconnectDatabase();
  void TcpTransportChooseServer(TDbTransport& sender, const std::vector<std::string>& serverNames,
                                std::string& serverName, bool& result);
  bool SelectServer(const std::vector<std::string>& serverNames, std::string& serverName);
};

}  // namespace trelvo
