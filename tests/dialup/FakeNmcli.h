#pragma once
// A stand-in for NetworkManager's nmcli, put first on PATH for the life of
// the object. It answers the calls the dialler makes the way the real tool
// does (terse output with escaped colons, the activation message with its
// active path, its error texts and exit statuses) and records every call.
//
// Profiles are given as "NAME|TYPE|USER|PASSWORD|MODE"; "-" is an empty user
// or a password that is not stored; MODE is ok, fail, slow (a second to come
// up) or hang (never answers).
#include <string>
#include <vector>

#include "TestSupport.h"

namespace trelvo::test {

class TFakeNmcli {
 public:
  explicit TFakeNmcli(const std::vector<std::string>& profiles);
  ~TFakeNmcli();
  TFakeNmcli(const TFakeNmcli&) = delete;
  TFakeNmcli& operator=(const TFakeNmcli&) = delete;

  // Every call's arguments, one line per call, in order.
  std::vector<std::string> Calls() const;
  void ClearCalls() const;
  // Active connections as "NAME|TYPE|PATH" lines; setting them stands for
  // links that came up or dropped without the dialler.
  std::vector<std::string> Active() const;
  void SetActive(const std::vector<std::string>& lines) const;
  // NetworkManager not running: every call fails.
  void StopService() const;
  // The PID of the child a hanging call left behind ("" when none).
  std::string HangingChild() const;

  static std::string Path(int n) { return "/org/freedesktop/NetworkManager/ActiveConnection/" + std::to_string(n); }

 private:
  TTempDir Dir_;
  std::string OldPath_;
};

// PATH holds only an empty directory for the life of the object.
class TNoNmcli {
 public:
  TNoNmcli();
  ~TNoNmcli();
  TNoNmcli(const TNoNmcli&) = delete;
  TNoNmcli& operator=(const TNoNmcli&) = delete;
  const TTempDir& Dir() const { return Dir_; }

 private:
  TTempDir Dir_;
  std::string OldPath_;
};

}  // namespace trelvo::test
