#include "dialup/RasDialer.h"

namespace trelvo {

struct TRasDialer::TImpl {};

TRasDialer::TRasDialer() : Impl_(std::make_unique<TImpl>()) {}
TRasDialer::~TRasDialer() = default;
int TRasDialer::ListEntries(std::vector<std::string>& list) {
  list.clear();
  throw ERasError("Failed to find/load nmcli");
}
void TRasDialer::SetEntryName(const std::string& name) { EntryName_ = name; }
int TRasDialer::Dial() { throw ERasError("Failed to find/load nmcli"); }
void TRasDialer::Hangup() { throw ERasError("Failed to find/load nmcli"); }
std::string TRasDialer::ErrorText(int) const { return "Function not Supported"; }
int TRasDialer::FindConnection() { return Handle_; }
bool TRasDialer::WatchActive() const { return false; }

}  // namespace trelvo
