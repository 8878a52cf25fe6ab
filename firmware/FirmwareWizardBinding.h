#pragma once
// Binds the wizard's file check, hardware test and download to the firmware
// module's real ones. Returns false (and leaves the services alone) in a
// build without the download.
#include "FirmwareWizardModel.h"

namespace kvr {

bool BindFirmwareServices(FirmwareWizardServices& services);

}  // namespace kvr
