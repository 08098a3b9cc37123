#include "db/DbServer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "common/IniFile.h"
#include "common/Text.h"
#include "db/DbDatabase.h"
#include "db/DbError.h"

namespace trelvo {

namespace {

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The engine runs inside the program, so only this machine can be reached.
bool IsThisMachine(const std::string& address, const TDbServerEntry& server) {
  std::string a = LowerCase(Trim(address));
  if (a.empty() || a == "localhost" || a == "::1" || StartsWith(a, "127.")) return true;
  if (SameText(a, Trim(server.Address))) return true;
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) == 0 && SameText(a, host)) return true;
  return false;
}

}  // namespace

TDbServerConfig TDbServerConfig::Load(const std::string& fileName) {
  if (!FileExists(fileName))
    throw EDatabaseError(dbeNoServer, "No database server: configuration file " + fileName + " not found");
  TIniFile ini(fileName);
  TDbServerConfig config;
  for (const std::string& name : ini.ReadSection("Servers")) {
    TDbServerEntry entry;
    entry.Name = name;
    entry.Address = ini.ReadString("Servers", name, "");
    std::string section = name + ".Aliases";
    for (const std::string& alias : ini.ReadSection(section)) entry.Aliases.emplace_back(alias, ini.ReadString(section, alias, ""));
    config.Servers.push_back(std::move(entry));
  }
  return config;
}

const TDbServerEntry* TDbServerConfig::Find(const std::string& name) const {
  for (const TDbServerEntry& s : Servers)
    if (SameText(s.Name, name)) return &s;
  return nullptr;
}

void TDbServerConfig::Save(const std::string& fileName) const {
  TIniFile ini(fileName);
  for (const TDbServerEntry& s : Servers) {
    ini.WriteString("Servers", s.Name, s.Address);
    for (const auto& [alias, dir] : s.Aliases) ini.WriteString(s.Name + ".Aliases", alias, dir);
  }
}

// ---- engine ----

TRemoteServerEngine::~TRemoteServerEngine() {
  for (TDbSession* s : std::vector<TDbSession*>(Sessions_)) s->SetServerEngine(nullptr);
}

void TRemoteServerEngine::SetTransport(TDbTransport* transport) {
  if (transport == Transport_) return;
  Close();
  Transport_ = transport;
}

void TRemoteServerEngine::SetEnabled(bool enabled) {
  if (!enabled) Close();
  Enabled_ = enabled;
}

void TRemoteServerEngine::Open() {
  if (Active_) return;
  if (!Enabled_) throw EDatabaseError(dbeEngineDisabled, "The remote server engine is not enabled");
  if (!Transport_) throw EDatabaseError(dbeEngineDisabled, "The remote server engine has no transport");
  std::string configFile = ConfigFileName ? ConfigFileName() : std::string();
  TDbServerConfig config = TDbServerConfig::Load(configFile);

  // The secured transport carries the TCP/IP transport's server name.
  TDbTransport* named = Transport_;
  if (auto* secure = dynamic_cast<TSecureTransport*>(Transport_)) {
    if (!secure->Transport) throw EDatabaseError(dbeEngineDisabled, "The secured transport has no inner transport");
    named = secure->Transport;
  }
  std::string requested = named->ServerName;
  const TDbServerEntry* server = nullptr;
  if (requested.empty()) {
    if (config.Servers.empty()) throw EDatabaseError(dbeNoServer, "No database server found");
    if (config.Servers.size() == 1) {
      server = &config.Servers.front();
    } else {
      std::vector<std::string> names;
      for (const TDbServerEntry& s : config.Servers) names.push_back(s.Name);
      std::string chosen;
      bool result = false;
      if (named->OnChooseServer) named->OnChooseServer(*named, names, chosen, result);
      if (!result || chosen.empty()) throw EDatabaseError(dbeNoServerChosen, "No database server was chosen");
      server = config.Find(chosen);
      if (!server) throw EDatabaseError(dbeUnknownServer, "Database server " + chosen + " not found");
    }
  } else {
    std::string name = requested, address;
    if (named->Type() == TTransportType::tcpip) {
      size_t at = requested.find('@');
      if (at != std::string::npos) {
        name = requested.substr(0, at);
        address = requested.substr(at + 1);
      }
    }
    server = config.Find(name);
    if (!server) throw EDatabaseError(dbeUnknownServer, "Database server " + name + " not found");
    if (!IsThisMachine(address, *server))
      throw EDatabaseError(dbeServerUnreachable, "Database server " + name + " not reachable at " + address);
  }
  Server_ = *server;
  ConfigDir_ = ExtractFilePath(configFile);
  Transport_->Connected_ = true;
  if (named != Transport_) named->Connected_ = true;
  Active_ = true;
}

void TRemoteServerEngine::Close() {
  for (TDbSession* s : std::vector<TDbSession*>(Sessions_)) s->Close();
  CloseTransport();
  Active_ = false;
}

void TRemoteServerEngine::CloseTransport() {
  if (!Transport_) return;
  Transport_->Close();
  if (auto* secure = dynamic_cast<TSecureTransport*>(Transport_); secure && secure->Transport) secure->Transport->Close();
}

void TRemoteServerEngine::Attach(TDbSession* session) { Sessions_.push_back(session); }
void TRemoteServerEngine::Detach(TDbSession* session) { std::erase(Sessions_, session); }

// ---- session ----

TDbSession::~TDbSession() {
  for (TDbDatabase* db : std::vector<TDbDatabase*>(Databases_)) db->Close();
  if (Engine_) Engine_->Detach(this);
}

void TDbSession::SetServerEngine(TRemoteServerEngine* engine) {
  if (engine == Engine_) return;
  Close();
  if (Engine_) Engine_->Detach(this);
  Engine_ = engine;
  if (Engine_) Engine_->Attach(this);
}

void TDbSession::Open() {
  if (Active()) return;
  if (!Engine_) throw EDatabaseError(dbeEngineDisabled, "The session has no server engine");
  Engine_->Open();
  Active_ = true;
}

void TDbSession::Close() {
  for (TDbDatabase* db : std::vector<TDbDatabase*>(Databases_)) db->Close();
  Active_ = false;
}

bool TDbSession::Active() const { return Active_ && Engine_ && Engine_->Active(); }

std::string TDbSession::GetAliasPath(const std::string& alias) {
  Open();
  const TDbServerEntry& server = Engine_->Server();
  for (const auto& [name, dir] : server.Aliases) {
    if (!SameText(name, alias)) continue;
    if (dir.empty() || dir.front() == '/') return dir;
    return Engine_->ConfigDir() + dir;
  }
  throw EDatabaseError(dbeUnknownAlias, "Alias " + alias + " not found on database server " + server.Name);
}

void TDbSession::Attach(TDbDatabase* database) { Databases_.push_back(database); }
void TDbSession::Detach(TDbDatabase* database) { std::erase(Databases_, database); }

}  // namespace trelvo
