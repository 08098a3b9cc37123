#pragma once
// A one-server installation in a temporary directory with a table of every
// field type, for the database layer's tests.
#include <memory>
#include <string>

#include "TestSupport.h"
#include "db/DbModule.h"
#include "db/DbSchema.h"
#include "db/DbError.h"
#include "db/DbTable.h"

namespace trelvo::test {

inline TDbTableDef AllTypesDef(const std::string& name = "Kaikki") {
  using T = TFieldType;
  return {name,
          {{"Nimi", T::ftString, 20},
           {"Lkm", T::ftInteger},
           {"Summa", T::ftFloat},
           {"Lippu", T::ftBoolean},
           {"Pvm", T::ftDate},
           {"Aika", T::ftTime},
           {"AikaLeima", T::ftDateTime},
           {"Paikka", T::ftString, 10}},
          {{"Nimi_Paikka", "Nimi;Paikka", true}, {"AikaLeima", "AikaLeima", false}}};
}

class TDbFixture {
 public:
  TDbFixture() {
    MakeDir(Dir / "Data");
    MakeDir(Dir / "Other");
    WriteFile(Dir / "DbServer.ini",
              "[Servers]\nTESTSRV=127.0.0.1\n[TESTSRV.Aliases]\nMain=Data\nOther=" + Dir.Path() + "Other\nGone=Missing\n");
    Module = std::make_unique<TDbModule>(Dir / "DbServer.ini");
    Module->ServerName = "TESTSRV";
    Module->ServerAddress = "127.0.0.1";
    Module->ConnectDatabase(1, "Main");
  }
  std::string DataDir() const { return Dir / "Data/"; }

  TTempDir Dir;
  std::unique_ptr<TDbModule> Module;
};

// Runs fn and returns the EDatabaseError code it raised (0 when none).
template <typename Fn>
int ErrorOf(Fn fn) {
  try {
    fn();
  } catch (const EDatabaseError& e) {
    return e.ErrorCode();
  }
  return 0;
}

}  // namespace trelvo::test
