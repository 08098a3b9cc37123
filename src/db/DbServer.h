#pragma once
// The database "server": an engine inside the program that serves the table
// files of the aliases configured in DbServer.ini. The transports only choose
// which configured server a session talks to; there is no network traffic.
//
// DbServer.ini:
//   [Servers]               one line per server: name=address (empty, a
//   VELMORA=127.0.0.1       loopback address or this machine's host name)
//   [VELMORA.Aliases]       the server's aliases: name=directory (relative
//   SORVEL=Data             directories are taken from the file's directory)
//   INet=INetData
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace trelvo {

class TDbSession;

struct TDbServerEntry {
  std::string Name;
  std::string Address;
  std::vector<std::pair<std::string, std::string>> Aliases;  // name, directory
};

struct TDbServerConfig {
  std::vector<TDbServerEntry> Servers;
  // Throws EDatabaseError (dbeNoServer) when the file does not exist.
  static TDbServerConfig Load(const std::string& fileName);
  const TDbServerEntry* Find(const std::string& name) const;  // case-insensitive
  // Writes a configuration (used by the installation tool and tests).
  void Save(const std::string& fileName) const;
};

class TDbTransport;
// The choose-server event: sender, servers found, chosen name (in/out), result (out).
using TChooseServerEvent =
    std::function<void(TDbTransport& sender, const std::vector<std::string>& serverNames, std::string& serverName, bool& result)>;

enum class TTransportType { tcpip, namedPipe, com, secure };

class TDbTransport {
 public:
  virtual ~TDbTransport() = default;
  virtual TTransportType Type() const = 0;
  std::string ServerName;        // the run-time server name
  int MaxBytesPerSecond = 0;     // 0: no bandwidth limit
  int PingTime = 0;              // 0: no ping
  TChooseServerEvent OnChooseServer;
  bool Connected() const { return Connected_; }
  void Close() { Connected_ = false; }

 protected:
  friend class TRemoteServerEngine;
  bool Connected_ = false;
};

class TTcpTransport : public TDbTransport {
 public:
  static constexpr std::uint16_t kDefaultPort = 16000;
  TTransportType Type() const override { return TTransportType::tcpip; }
  std::uint16_t Port = kDefaultPort;
  int CompressLimit = 0;
};

class TNamedPipeTransport : public TDbTransport {
 public:
  TTransportType Type() const override { return TTransportType::namedPipe; }
};

class TComTransport : public TDbTransport {
 public:
  TTransportType Type() const override { return TTransportType::com; }
};

// Wraps a TCP/IP transport; the key is the pass phrase of the secured channel.
class TSecureTransport : public TDbTransport {
 public:
  TTransportType Type() const override { return TTransportType::secure; }
  TDbTransport* Transport = nullptr;
  std::string Key;
};

class TRemoteServerEngine {
 public:
  TRemoteServerEngine() = default;
  ~TRemoteServerEngine();
  TRemoteServerEngine(const TRemoteServerEngine&) = delete;
  TRemoteServerEngine& operator=(const TRemoteServerEngine&) = delete;

  // Where DbServer.ini lies; asked on every connect, so it may follow the
  // installation directory of whoever owns the engine.
  std::function<std::string()> ConfigFileName;

  TDbTransport* Transport() const { return Transport_; }
  void SetTransport(TDbTransport* transport);
  bool Enabled() const { return Enabled_; }
  // false closes the engine and keeps it closed; true allows it to connect.
  void SetEnabled(bool enabled);
  bool Active() const { return Active_; }
  // Connects through the transport to a configured server. Throws EDatabaseError.
  void Open();
  // Closes every session on the engine, then the engine and its transport.
  void Close();
  void CloseTransport();

  const TDbServerEntry& Server() const { return Server_; }
  const std::string& ConfigDir() const { return ConfigDir_; }

 private:
  friend class TDbSession;
  void Attach(TDbSession* session);
  void Detach(TDbSession* session);

  TDbTransport* Transport_ = nullptr;
  bool Enabled_ = true;
  bool Active_ = false;
  TDbServerEntry Server_;
  std::string ConfigDir_;
  std::vector<TDbSession*> Sessions_;
};

class TDbDatabase;

class TDbSession {
 public:
  TDbSession() = default;
  ~TDbSession();
  TDbSession(const TDbSession&) = delete;
  TDbSession& operator=(const TDbSession&) = delete;

  TRemoteServerEngine* ServerEngine() const { return Engine_; }
  void SetServerEngine(TRemoteServerEngine* engine);
  // Opens the engine when it is closed. Throws EDatabaseError.
  void Open();
  // Closes every database of the session.
  void Close();
  bool Active() const;
  // The directory of an alias as the server reports it (opens the session
  // when needed). Unknown alias: EDatabaseError dbeUnknownAlias.
  std::string GetAliasPath(const std::string& alias);

 private:
  friend class TDbDatabase;
  void Attach(TDbDatabase* database);
  void Detach(TDbDatabase* database);

  TRemoteServerEngine* Engine_ = nullptr;
  bool Active_ = false;
  std::vector<TDbDatabase*> Databases_;
};

}  // namespace trelvo
