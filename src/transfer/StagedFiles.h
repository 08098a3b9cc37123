#pragma once
// A set of files that must replace their old versions together or not at
// all: the tables and result logs of a master package. The new files are
// written into a staging folder inside each target directory (so putting
// them in place is a rename on one file system), checked there, and then
// moved in under a journal. A run cut off while moving leaves the journal,
// and the next receive finishes the move; one cut off before it leaves a
// staging folder without a journal, which is simply removed.
#include <string>
#include <vector>

#include "common/RunReport.h"

namespace trelvo {

class TStagedFiles {
 public:
  TStagedFiles() = default;
  // Whatever was staged and not committed goes.
  ~TStagedFiles();
  TStagedFiles(const TStagedFiles&) = delete;
  TStagedFiles& operator=(const TStagedFiles&) = delete;

  // The staging folder of targetDir (which ends with "/").
  static std::string StageOf(const std::string& targetDir);
  // An empty staging folder for targetDir, made now; throws EInOutError.
  std::string Stage(const std::string& targetDir);
  // Every staged file into its target directory, replacing a file of the
  // same name in any letter case. Throws EInOutError; once the journal is
  // written, a failure is finished by Recover.
  void Commit();
  void Discard();

  // For the staging folders of targetDirs: a cut-off commit finished, a
  // cut-off staging removed. Logs what it did; throws EInOutError when a
  // journal's move cannot be finished.
  static void Recover(const std::vector<std::string>& targetDirs, TRunReport& report);

 private:
  std::vector<std::string> Targets_;
};

}  // namespace trelvo
