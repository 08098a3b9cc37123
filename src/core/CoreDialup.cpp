// The dial-up steps of the settings page and the runs' connection phase.
#include "core/TrelvoCore.h"

namespace trelvo {

void TTrelvoCore::FillRasEntries() {}
void TTrelvoCore::ChkBoxRasExit() {}
void TTrelvoCore::CBoxRasEntChange(int) {}
void TTrelvoCore::ConnectionPhase(const std::function<void()>& body) { body(); }
void TTrelvoCore::DialUp(bool) {}

}  // namespace trelvo
