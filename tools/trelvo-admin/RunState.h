#pragma once
// The retry counters between runs of the tool. The program keeps them in
// memory for as long as it runs; the tool is a new process for every run or
// tick, so it keeps them in RunState.ini beside the settings.
#include <string>

#include "core/TrelvoCore.h"

namespace trelvo::admin {

inline constexpr const char* kRunStateFile = "RunState.ini";

std::string RunStateFileName(const TTrelvoCore& core);
void LoadCounters(TTrelvoCore& core);
void SaveCounters(TTrelvoCore& core);

}  // namespace trelvo::admin
