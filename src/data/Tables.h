#pragma once
// The twelve table objects of the exchange: the four main tables and the
// site's four exchange tables in the main database, and the received set of
// exchange tables in the INet database. All are closed at rest.
#include <array>

#include "db/DbDatabase.h"
#include "db/DbTable.h"

namespace trelvo {

class TTables {
 public:
  TTables(TDbDatabase& mainDatabase, TDbDatabase& inetDatabase);

  TDbTable TblAsiakas;
  TDbTable TblKortti;
  TDbTable TblKorttiPa;
  TDbTable TblTilasto;
  TDbTable TblZNetAsi;
  TDbTable TblZNetKo;
  TDbTable TblZNetKoPa;
  TDbTable TblZNetTi;
  TDbTable TblZNetAsiTmp;
  TDbTable TblZNetKoTmp;
  TDbTable TblZNetKoPaTmp;
  TDbTable TblZNetTiTmp;

  std::array<TDbTable*, 12> All();
  void CloseAll();
};

// Closes a table on every path out of a scope.
class TTableCloser {
 public:
  explicit TTableCloser(TDbTable& table) : Table_(table) {}
  ~TTableCloser() { Table_.Close(); }
  TTableCloser(const TTableCloser&) = delete;
  TTableCloser& operator=(const TTableCloser&) = delete;

 private:
  TDbTable& Table_;
};

}  // namespace trelvo
