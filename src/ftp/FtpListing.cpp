#include "ftp/FtpListing.h"

#include <cctype>
#include <set>

#include "ftp/FtpClientCoreImpl.h"

namespace trelvo {

void TFtpClientCore::ListAsync() { StartSequence(rqList, stPort | stList); }
void TFtpClientCore::NlstAsync() { StartSequence(rqNlst, stPort | stNlst); }
void TFtpClientCore::MlsdAsync() { StartSequence(rqMlsd, stPort | stNlst); }
void TFtpClientCore::FeatAsync() { SendRequestCommand(rqFeat, "FEAT", {211}, &TFtpClientCore::ReadFeatures); }
void TFtpClientCore::ListOneCallAsync() {
  StartSequence(rqListOneCall, stOpen | stUser | stPass | stCwd | stType | stPort | stList | stQuit);
}
void TFtpClientCore::NlstOneCallAsync() {
  StartSequence(rqNlstOneCall, stOpen | stUser | stPass | stCwd | stType | stPort | stNlst | stQuit);
}

// A listing shown as it arrives: one OnDisplayFile call per line of the
// received piece, empty lines and line ends left out.
void TFtpClientCore::DisplayListingLines(const char* buf, int n) {
  int i = 0;
  while (i < n) {
    int start = i;
    while (i < n && buf[i] != '\r' && buf[i] != '\n') ++i;
    if (i > start) {
      std::string piece(buf + start, i - start);
      OnDisplayFile(this, piece);
    }
    while (i < n && (buf[i] == '\r' || buf[i] == '\n')) ++i;
  }
}

namespace {

// MLSD facts are "name=value;" pairs before one blank and the name; names
// and values of facts are compared without regard to case (RFC 3659).
bool IsFileEntry(const std::string& facts) {
  size_t pos = 0;
  while (pos < facts.size()) {
    size_t end = facts.find(';', pos);
    if (end == std::string::npos) end = facts.size();
    std::string fact = facts.substr(pos, end - pos);
    for (char& c : fact) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (fact.rfind("type=", 0) == 0) return fact == "type=file";
    pos = end + 1;
  }
  // A server that gives no type fact lists files only in the ways it can.
  return true;
}

}  // namespace

std::vector<std::string> ListedFileNames(const std::string& listing, bool machine) {
  std::vector<std::string> names;
  std::set<std::string> seen;
  size_t pos = 0;
  while (pos < listing.size()) {
    size_t eol = listing.find('\n', pos);
    if (eol == std::string::npos) eol = listing.size();
    std::string line = listing.substr(pos, eol - pos);
    pos = eol + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (machine) {
      const size_t blank = line.find(' ');
      if (blank == std::string::npos || !IsFileEntry(line.substr(0, blank))) continue;
      line.erase(0, blank + 1);
    }
    const size_t slash = line.rfind('/');
    if (slash != std::string::npos) line.erase(0, slash + 1);
    if (line.empty() || line == "." || line == "..") continue;
    if (seen.insert(line).second) names.push_back(std::move(line));
  }
  return names;
}

}  // namespace trelvo
