#include "data/Schema.h"

#include "common/Text.h"

namespace trelvo {

namespace {

using T = TFieldType;

std::vector<TDbFieldDef> StatisticsFields() {
  return {{"TapPvm", T::ftDate},        {"TapAika", T::ftTime},         {"TapPaikka", T::ftString, 10},
          {"TapKortti", T::ftString, 20}, {"TapAsiNro", T::ftInteger},    {"TapYriNro", T::ftInteger},
          {"TapTyyppi", T::ftInteger},    {"TapNode", T::ftInteger},      {"TapLaskuPvm", T::ftDate},
          {"TapLaskuAika", T::ftTime},    {"TapVara", T::ftString, 20},   {"TapAsiSum", T::ftFloat},
          {"TapYriSum", T::ftFloat}};
}

std::vector<TDbFieldDef> CardFields() {
  return {{"KorttiNro", T::ftString, 20}, {"KorttiLyh", T::ftString, 20}, {"AsNo", T::ftString, 10},
          {"YrNo", T::ftInteger},         {"AikaLeima", T::ftDateTime},   {"PinKoodi", T::ftString, 10},
          {"NaytaSaldoLCD", T::ftBoolean}};
}

std::vector<TDbFieldDef> CardPlaceFields() {
  return {{"KorttiLyh", T::ftString, 20}, {"Paikka", T::ftString, 10},  {"Tyyppi", T::ftInteger},
          {"VoimAlkaen", T::ftDate},      {"VoimAsti", T::ftDate},      {"KayntiLkm", T::ftInteger},
          {"KaytyLkm", T::ftInteger},     {"AikaRyhma", T::ftInteger},  {"KayPvm", T::ftDate},
          {"KayAika", T::ftTime},         {"MsgNro", T::ftInteger},     {"Laskutus", T::ftBoolean},
          {"UusintaAika", T::ftTime},     {"Muutettu", T::ftDate},      {"MuutettuAika", T::ftTime},
          {"Sormi", T::ftString, 255},    {"JaadytysPvm", T::ftDate}};
}

std::vector<TDbFieldDef> CustomerFields() {
  return {{"AsNo", T::ftString, 10},          {"AsRyhma", T::ftInteger},          {"AsNimi", T::ftString, 40},
          {"PostiNo", T::ftString, 10},       {"PostiToimiPaikka", T::ftString, 30}, {"KatuOsoite1", T::ftString, 40},
          {"KatuOsoite2", T::ftString, 40},   {"YhteysHenkilo", T::ftString, 40}, {"PuhNo", T::ftString, 20},
          {"AsLasNo", T::ftString, 10},       {"Laskutettu", T::ftFloat},         {"LaskutettuEdVuosi", T::ftFloat},
          {"SyntymaAika", T::ftDate},         {"Huomioitavaa1", T::ftString, 80}, {"Huomioitavaa2", T::ftString, 80},
          {"MatkaPuh", T::ftString, 20},      {"Email1", T::ftString, 60},        {"AikaLeima", T::ftDateTime}};
}

TDbIndexDef Index(const std::string& fields, bool unique) {
  std::string name;
  for (const std::string& part : SplitString(fields, ';')) name += (name.empty() ? "" : "_") + part;
  return {name, fields, unique};
}

std::vector<TDbTableDef> BuildMain() {
  return {
      {"Asiakas", CustomerFields(), {Index("AsNo", true)}},
      {"KORTTI", CardFields(), {Index("KorttiLyh", true)}},
      {"KORTTIPA", CardPlaceFields(), {Index("KorttiLyh;Paikka", true)}},
      {"TILASTO", StatisticsFields(), {Index("TapPvm;TapAika", false)}},
      {"AsLuokka", {{"AsRyhma", T::ftInteger}, {"Selite", T::ftString, 40}, {"AikaLeima", T::ftDateTime}}, {Index("AsRyhma", true)}},
  };
}

std::vector<TDbTableDef> BuildExchange() {
  std::vector<TDbFieldDef> cardPlace = CardPlaceFields();
  cardPlace.push_back({"AikaLeima", T::ftDateTime});
  return {
      {"ZNetAsi", CustomerFields(), {Index("AikaLeima", false)}},
      {"ZNetKo", CardFields(), {Index("AikaLeima", false)}},
      {"ZNetKoPa", cardPlace, {Index("AikaLeima", false)}},
      {"ZNetTila", StatisticsFields(), {Index("TapPvm;TapAika", false)}},
  };
}

}  // namespace

const std::vector<TDbTableDef>& MainTableDefs() {
  static const std::vector<TDbTableDef> defs = BuildMain();
  return defs;
}

const std::vector<TDbTableDef>& ExchangeTableDefs() {
  static const std::vector<TDbTableDef> defs = BuildExchange();
  return defs;
}

const TDbTableDef* FindTableDef(const std::string& name) {
  for (const auto* list : {&MainTableDefs(), &ExchangeTableDefs()})
    for (const TDbTableDef& d : *list)
      if (SameText(d.Name, name)) return &d;
  return nullptr;
}

void CreateMainTables(const std::string& dir, bool overwrite) {
  for (const TDbTableDef& d : MainTableDefs()) CreateTableFile(dir, d, overwrite);
  CreateExchangeTables(dir, overwrite);
}

void CreateExchangeTables(const std::string& dir, bool overwrite) {
  for (const TDbTableDef& d : ExchangeTableDefs()) CreateTableFile(dir, d, overwrite);
}

}  // namespace trelvo
