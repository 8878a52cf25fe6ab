#pragma once
// Binds the attended automated operations (/D without /U, /P) to the
// program's windows: the main window's automation timer runs them, its
// Discover refreshes the device pool between devices, the firmware wizard
// window shows each download to the user, and closing the main window ends
// the program.
namespace basAutomation {
class AutomationRun;
}

namespace kvr {

class frmZarni;

void BindAutomation(frmZarni& window, basAutomation::AutomationRun& run);

}  // namespace kvr
