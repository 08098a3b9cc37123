#include "data/Tables.h"

namespace trelvo {

TTables::TTables(TDbDatabase& mainDatabase, TDbDatabase& inetDatabase)
    : TblAsiakas(mainDatabase, "Asiakas", "AsNo"),
      TblKortti(mainDatabase, "KORTTI", "KorttiLyh"),
      TblKorttiPa(mainDatabase, "KORTTIPA", "KorttiLyh;Paikka"),
      TblTilasto(mainDatabase, "TILASTO", "TapPvm;TapAika"),
      TblZNetAsi(mainDatabase, "ZNetAsi", "Aikaleima"),
      TblZNetKo(mainDatabase, "ZNetKo", "Aikaleima"),
      TblZNetKoPa(mainDatabase, "ZNetKoPa", "AikaLeima"),
      TblZNetTi(mainDatabase, "ZNetTila", "TapPvm;TapAika"),
      TblZNetAsiTmp(inetDatabase, "ZNetAsi", "Aikaleima"),
      TblZNetKoTmp(inetDatabase, "ZNetKo", "Aikaleima"),
      TblZNetKoPaTmp(inetDatabase, "ZNetKoPa", "AikaLeima"),
      TblZNetTiTmp(inetDatabase, "ZNetTila", "TapPvm;TapAika") {}

std::array<TDbTable*, 12> TTables::All() {
  return {&TblAsiakas, &TblKortti,  &TblKorttiPa, &TblTilasto,    &TblZNetAsi,   &TblZNetKo,
          &TblZNetKoPa, &TblZNetTi, &TblZNetAsiTmp, &TblZNetKoTmp, &TblZNetKoPaTmp, &TblZNetTiTmp};
}

void TTables::CloseAll() {
  for (TDbTable* t : All()) t->Close();
}

}  // namespace trelvo
