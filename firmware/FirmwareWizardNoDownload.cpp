// A build without the firmware download: the wizard cannot be bound.
#include "FirmwareWizardBinding.h"

namespace kvr {

bool BindFirmwareServices(FirmwareWizardServices&) { return false; }

}  // namespace kvr
