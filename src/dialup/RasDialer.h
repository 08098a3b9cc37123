#pragma once
// The dial-up connection of a site without a permanent line. The phone-book
// entries are NetworkManager connections, reached through its command-line
// client nmcli; every operation raises ERasError("Failed to find/load nmcli")
// when the tool cannot be run.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/Errors.h"

namespace trelvo {

class ERasError : public Exception {
 public:
  using Exception::Exception;
};

class TRasDialer {
 public:
  TRasDialer();
  // Hangs up what it still finds (HangupOnDestroy), without OnDisconnected.
  ~TRasDialer();
  TRasDialer(const TRasDialer&) = delete;
  TRasDialer& operator=(const TRasDialer&) = delete;

  // The connection names in the tool's order; 0, or a non-zero code with the
  // list left empty.
  int ListEntries(std::vector<std::string>& list);
  // Stores the name and, when it is not empty, reads the entry's user name,
  // password (empty when none is stored) and the other properties; an error
  // leaves them unchanged.
  void SetEntryName(const std::string& name);
  const std::string& EntryName() const { return EntryName_; }
  // Hangs up first, then brings the connection up and returns when it is up
  // (0) or has failed (non-zero; ErrorText gives the tool's message).
  int Dial();
  // Takes the connection down and waits until it is gone; OnDisconnected.
  void Hangup();
  std::string ErrorText(int code) const;
  // A handle of the active connection (the stored one, else the first active
  // one named EntryName, or the first active one when EntryName is empty); 0
  // when none.
  int FindConnection();

  std::string PhoneNumber, CallBackNumber, UserName, Password, Domain, Phonebook;
  bool HangupOnDestroy = true;
  std::function<void(TRasDialer&)> OnDisconnected;

  // The one-second disconnect watch runs while a dialled connection is up.
  bool WatchActive() const;

 private:
  struct TImpl;
  std::unique_ptr<TImpl> Impl_;
  std::string EntryName_;
  int Handle_ = 0;
  bool Destroying_ = false;
};

}  // namespace trelvo
