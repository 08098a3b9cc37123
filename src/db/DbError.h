#pragma once
// The database layer's one exception class. Procedures log Description() (the
// text without any prefix); what()/Message() adds the numeric code so a
// reconnect failure in the run log still says which check failed.
#include <string>

#include "common/Errors.h"

namespace trelvo {

enum TDbErrorCode : int {
  dbeNoServer = 0x2A01,          // no configuration, or no server configured
  dbeUnknownServer = 0x2A02,     // the transport names a server the engine does not serve
  dbeServerUnreachable = 0x2A03, // an address that is not this machine
  dbeNoServerChosen = 0x2A04,    // several servers found and none chosen
  dbeEngineDisabled = 0x2A05,    // no engine, or the engine is disabled
  dbeNotConnected = 0x2A06,      // an operation that needs an open session or database
  dbeUnknownAlias = 0x2B01,
  dbeAliasDirMissing = 0x2B02,
  dbeDatabaseOpen = 0x2B03,      // a change that needs the database closed
  dbeTableNotFound = 0x2C01,     // no file, or no such table in the file
  dbeNotATableFile = 0x2C02,     // the file is not a table file (not SQLite, or damaged)
  dbeTableLocked = 0x2C03,       // another connection held a lock past the wait
  dbeTableClosed = 0x2C04,
  dbeFieldNotFound = 0x2D01,
  dbeTypeMismatch = 0x2D02,
  dbeNotEditing = 0x2D03,        // a field write or post outside edit/insert
  dbeNoCurrentRow = 0x2D04,
  dbeKeyViolation = 0x2D05,
  dbeBadKey = 0x2D06,            // find with the wrong number of key values
  dbeTransaction = 0x2E01,       // transaction or savepoint misuse
  dbeIo = 0x2F01,                // any other storage failure
  dbeStorage = 0x2F02,           // the file system refused a write: full, or an I/O error
};

class EDatabaseError : public Exception {
 public:
  EDatabaseError(int code, const std::string& description)
      : Exception(description + " [$" + Hex(code) + "]"), Code_(code), Description_(description) {}
  int ErrorCode() const { return Code_; }
  const std::string& Description() const { return Description_; }

 private:
  static std::string Hex(int code) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (int shift = 12; shift >= 0; shift -= 4) s += digits[(code >> shift) & 0xF];
    return s;
  }
  int Code_;
  std::string Description_;
};

}  // namespace trelvo
