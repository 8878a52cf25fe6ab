#pragma once
// The wizard's file check, hardware test and download: the firmware module's
// real ones (the window adds its file dialog and help).
#include "FirmwareWizardModel.h"

namespace kvr {

FirmwareWizardServices FirmwareDownloadServices();

}  // namespace kvr
