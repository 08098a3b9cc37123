#include "transfer/StagedFiles.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "common/Errors.h"
#include "common/Text.h"
#include "core/MemoLog.h"

namespace trelvo {

namespace {

namespace fs = std::filesystem;

// A dot-folder: the file searches of the runs and the database's table
// lookup see only plain files, and a dot-name hides it from people too.
constexpr const char* kStageName = ".uudet/";
constexpr const char* kJournalName = "siirto.txt";

std::string Reason(const std::error_code& ec) { return ec.message(); }

// The existing file of dir whose name equals name in any letter case, else
// dir + name: a table is one file whatever the case of its name.
std::string TargetOf(const std::string& dir, const std::string& name) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    const std::string existing = e.path().filename().string();
    if (SameText(existing, name) && e.is_regular_file(ec)) return dir + existing;
  }
  return dir + name;
}

void RemoveStage(const std::string& stage) {
  std::error_code ec;
  fs::remove_all(stage, ec);
}

// The moves of a journal, "from<TAB>to" per line; those whose source has
// gone were done before the cut.
void Replay(const std::string& journal) {
  std::ifstream in(journal, std::ios::binary);
  if (!in) throw EInOutError("Cannot open file " + journal);
  std::string line;
  while (std::getline(in, line)) {
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    const std::string from = line.substr(0, tab), to = line.substr(tab + 1);
    std::error_code ec;
    if (!fs::exists(from, ec)) continue;
    if (std::rename(from.c_str(), to.c_str()) != 0)
      throw EInOutError("Cannot rename " + from + " to " + to + ". " + std::strerror(errno));
  }
}

}  // namespace

TStagedFiles::~TStagedFiles() { Discard(); }

std::string TStagedFiles::StageOf(const std::string& targetDir) { return targetDir + kStageName; }

std::string TStagedFiles::Stage(const std::string& targetDir) {
  // An unset directory would stage into the working directory.
  if (targetDir.empty()) throw EInOutError("Kohdehakemisto puuttuu");
  const std::string stage = StageOf(targetDir);
  RemoveStage(stage);
  std::error_code ec;
  if (!fs::create_directory(stage, ec)) throw EInOutError("Cannot create directory " + stage + ". " + Reason(ec));
  Targets_.push_back(targetDir);
  return stage;
}

void TStagedFiles::Commit() {
  if (Targets_.empty()) return;
  std::string journal;
  for (const std::string& dir : Targets_) {
    const std::string stage = StageOf(dir);
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(stage, ec)) {
      if (!e.is_regular_file(ec)) continue;
      const std::string name = e.path().filename().string();
      journal += stage + name + "\t" + TargetOf(dir, name) + "\n";
    }
    if (ec) throw EInOutError("Cannot list " + stage + ". " + Reason(ec));
  }
  // From the journal on, the new set is the one that counts.
  const std::string journalPath = StageOf(Targets_.front()) + kJournalName;
  WriteFileAtomically(journalPath, journal);
  Replay(journalPath);
  std::remove(journalPath.c_str());
  for (const std::string& dir : Targets_) RemoveStage(StageOf(dir));
  Targets_.clear();
}

void TStagedFiles::Discard() {
  // A journal means the move has begun: it is finished by Recover, not
  // undone, and it needs every staging folder it names.
  std::error_code ec;
  if (Targets_.empty() || fs::exists(StageOf(Targets_.front()) + kJournalName, ec)) {
    Targets_.clear();
    return;
  }
  for (const std::string& dir : Targets_) RemoveStage(StageOf(dir));
  Targets_.clear();
}

void TStagedFiles::Recover(const std::vector<std::string>& targetDirs, TRunReport& report) {
  for (const std::string& dir : targetDirs) {
    if (dir.empty()) continue;
    const std::string journal = StageOf(dir) + kJournalName;
    std::error_code ec;
    if (!fs::exists(journal, ec)) continue;
    report.Log("Viedään loppuun keskeytynyt tiedostojen vaihto: " + StageOf(dir));
    Replay(journal);
    std::remove(journal.c_str());
    // The journal named files of the other folders too: their staging goes
    // with it.
    for (const std::string& other : targetDirs)
      if (!other.empty()) RemoveStage(StageOf(other));
  }
  for (const std::string& dir : targetDirs) {
    std::error_code ec;
    if (dir.empty() || !fs::exists(StageOf(dir), ec)) continue;
    report.Log("Poistetaan keskeneräiset tiedostot: " + StageOf(dir));
    RemoveStage(StageOf(dir));
  }
}

}  // namespace trelvo
