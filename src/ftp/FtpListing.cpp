#include "ftp/FtpClientCoreImpl.h"

namespace trelvo {

void TFtpClientCore::ListAsync() { StartSequence(rqList, stPort | stList); }
void TFtpClientCore::NlstAsync() { StartSequence(rqNlst, stPort | stNlst); }
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

}  // namespace trelvo
