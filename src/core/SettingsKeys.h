#pragma once
// Every key of Sorvel.ini in one table, in the order the program reads them.
// Loading, "Talleta", trelvo-admin config and the README's list of settings
// all come from it, so a key, its default and its meaning are written once.
#include <string>
#include <vector>

#include "core/Settings.h"

namespace trelvo {

// How a key's text becomes a value.
enum class TKeyKind {
  Text,        // as read
  Trimmed,     // trailing blanks removed
  YesNo,       // true when "YES" in any letter case
  Integer,     // a decimal number in the key's range; anything else gives the default number
  Engine,      // TCPIP, NAMEDPIPE or COM in any letter case; anything else COM
  Encryption,  // ZipCrypto or AES256 in any letter case; anything else ZipCrypto
  Directory,   // an existing directory, or empty
  Enciphered,  // stored through the settings cipher
  Time,        // hh:nn
  Date,        // dd.mm.yyyy
};

struct TSettingKey {
  const char* Section;
  const char* Key;
  std::string Default;  // the text a missing key reads as
  TKeyKind Kind;
  bool Talleta;     // written by "Talleta" on the settings page
  bool Runs;        // written by the transfer runs after a success
  bool Addition;    // not in the original file: its default keeps the old behaviour
  const char* Meaning;      // for the README, in English
  const char* DefaultNote;  // the README's default when the stored text says little, or null
  // The key's text into memory. Throws EConvertError, with the reason, for
  // a text the key cannot take; the load then takes the default.
  void (*Load)(const TSettingKey& key, const std::string& text, TSettings& s, TLiveValues& live);
  // The value as "Talleta" writes it (only for Talleta keys).
  std::string (*Store)(const TSettings& s, const TLiveValues& live);
  // The value in memory as trelvo-admin config shows it, secrets hidden.
  std::string (*Show)(const TSettings& s, const TLiveValues& live);
};

const std::vector<TSettingKey>& SettingKeys();

// The list of keys as Markdown tables, one per section: the README's
// settings section is this text.
std::string SettingKeysMarkdown();

}  // namespace trelvo
