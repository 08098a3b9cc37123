#include "RunState.h"

#include "common/IniFile.h"
#include "common/Text.h"

namespace trelvo::admin {
namespace {

constexpr const char* kCounters[] = {"ClientSendRetries", "ClientRecvRetries", "MasterSendRetries", "MasterRecvRetries"};

int* CounterOf(TTrelvoCore& core, int i) {
  int* counters[] = {&core.ClientSendRetries, &core.ClientRecvRetries, &core.MasterSendRetries, &core.MasterRecvRetries};
  return counters[i];
}

}  // namespace

std::string RunStateFileName(const TTrelvoCore& core) { return core.HomeDir() + kRunStateFile; }

void LoadCounters(TTrelvoCore& core) {
  TIniFile ini(RunStateFileName(core));
  for (int i = 0; i < 4; ++i) *CounterOf(core, i) = static_cast<int>(ini.ReadInteger("RunState", kCounters[i], 0));
}

void SaveCounters(TTrelvoCore& core) {
  TIniFile ini(RunStateFileName(core));
  for (int i = 0; i < 4; ++i) ini.WriteString("RunState", kCounters[i], IntToStr(*CounterOf(core, i)));
}

}  // namespace trelvo::admin
