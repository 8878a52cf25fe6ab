#pragma once
// Binds the automated operations to the program's windows: the main window's
// automation timer runs them, its Discover refreshes the device pool between
// devices, and closing it ends the program.
namespace kvr {

class frmZarni;

void BindAutomation(frmZarni& window);

}  // namespace kvr
