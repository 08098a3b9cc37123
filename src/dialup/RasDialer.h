#pragma once
// The dial-up connection of a site without a permanent line. The phone-book
// entries are NetworkManager connections, reached through its command-line
// client nmcli (looked up on PATH at every operation); every operation raises
// ERasError("Failed to find/load nmcli") when the tool cannot be found or run.
//
// A handle names one activation of a connection: the number that ends its
// active-connection D-Bus path (/org/freedesktop/NetworkManager/ActiveConnection/N).
// NetworkManager numbers every activation anew, so a connection that dropped
// and came up again by itself is not mistaken for the one dialled. 0 is none.
//
// Every nmcli call is time-limited and killed (with anything it started) when
// it overruns; names go to it as arguments, never through a shell.
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
  // Hangs up what it still finds (HangupOnDestroy), without OnDisconnected,
  // and never throws. A dialler that was never given an entry and never
  // dialled or hung up leaves the system's connections alone.
  ~TRasDialer();
  TRasDialer(const TRasDialer&) = delete;
  TRasDialer& operator=(const TRasDialer&) = delete;

  // The connection names in the tool's order; 0, or a non-zero code
  // (ErrorText gives the tool's message) with the list left empty.
  int ListEntries(std::vector<std::string>& list);
  // Stores the name and, when it is not empty, reads the entry's stored user
  // name, password (empty when none is stored) and phone number; an error
  // leaves them unchanged. Connections of the kinds gsm, cdma and pppoe carry
  // these; other kinds give empty texts. CallBackNumber and Domain have no
  // counterpart and become empty.
  void SetEntryName(const std::string& name);
  const std::string& EntryName() const { return EntryName_; }
  // Hangs up first, then brings the connection up and returns when it is up
  // (0) or has failed (non-zero: nmcli's exit status; ErrorText gives the
  // tool's message); a failure hangs up again. Success starts the disconnect
  // watch.
  int Dial();
  // Takes the connection down and waits until it is gone; clears the handle;
  // unless being destroyed, stops the watch and raises OnDisconnected (also
  // when there was nothing to hang up).
  void Hangup();
  // The tool's message of the last failure with this code, else nmcli's
  // meaning of the exit status, at most 256 characters; "Function not
  // Supported" for -1 and unknown codes.
  std::string ErrorText(int code) const;
  // The stored handle; else the first active connection named EntryName
  // exactly, or with an empty EntryName the first active dial-up connection
  // (gsm, cdma, pppoe: never the LAN or the wireless); 0 when none.
  int FindConnection();

  // NetworkManager has one set of connections: Phonebook is kept but not used.
  std::string PhoneNumber, CallBackNumber, UserName, Password, Domain, Phonebook;
  bool HangupOnDestroy = true;
  std::function<void(TRasDialer&)> OnDisconnected;
  // How long a dial may take before it counts as failed (nmcli's --wait).
  int DialTimeoutSeconds = 90;

  // The one-second disconnect watch runs while a dialled connection is up.
  bool WatchActive() const;

 private:
  struct TImpl;
  void Disconnected();
  void WatchTick();
  std::unique_ptr<TImpl> Impl_;
  std::string EntryName_;
  int Handle_ = 0;
  bool Destroying_ = false;
};

}  // namespace trelvo
