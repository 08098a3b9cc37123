// The main window's handlers of the archive component: they turn its events
// into run-log lines, the meter and TransferOk.
#include "common/Text.h"
#include "core/TrelvoCore.h"

namespace trelvo {

void TTrelvoCore::WireArchiver() {
  ZipArchiver.OnLoad = [this](TZipArchiver& sender) { ZipArchiverLoad(sender); };
  ZipArchiver.OnSave = [this](TZipArchiver& sender) { ZipArchiverSave(sender); };
  ZipArchiver.OnItemProgress = [this](TZipArchiver& sender, const TZipItem& item, int progress, bool& abort) {
    ZipArchiverItemProgress(sender, item, progress, abort);
  };
  ZipArchiver.OnItemFailure = [this](TZipArchiver& sender, const TZipItem& item, TZipProcessType processType,
                                     TZipErrorClass errorClass, int errorCode) {
    ZipArchiverItemFailure(sender, item, processType, errorClass, errorCode);
  };
}

void TTrelvoCore::ZipArchiverLoad(TZipArchiver& /*sender*/) {
  Log("Puretaan siirtotiedosto...");
  ProcessMessages();
}

void TTrelvoCore::ZipArchiverSave(TZipArchiver& /*sender*/) {
  Log("Siirtopaketti talletettu...");
  ProcessMessages();
}

void TTrelvoCore::ZipArchiverItemProgress(TZipArchiver& /*sender*/, const TZipItem& item, int progress,
                                          bool& abort) {
  SetMeter(progress);
  if (item.FileName != LastItemName) {
    Log(item.FileName + " (" + IntToStr(static_cast<long long>(item.UncompressedSize)) + ")");
    LastItemName = item.FileName;
  }
  abort = false;
  ProcessMessages();
}

void TTrelvoCore::ZipArchiverItemFailure(TZipArchiver& /*sender*/, const TZipItem& item,
                                         TZipProcessType /*processType*/, TZipErrorClass /*errorClass*/,
                                         int errorCode) {
  Log("Pakkaus/purku ei onnistu: " + item.FileName + " virhe: " + IntToStr(errorCode));
  TransferOk = false;
}

}  // namespace trelvo
