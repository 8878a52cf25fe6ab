#pragma once
// The repair of a badly installed packet-driver service: used by the NIC pool
// refresh when no adapter is found and by the program's start-up checks.
#include <string>

// Starts the repair program PCARmDrv.exe of the application directory
// (G().AppDirectory; the current directory when that is empty) without
// waiting, after logging callerMessage at USER; when the program is missing
// logs that at ERROR. Returns true when the repair program started.
bool RepairDriverService(const std::string& callerMessage);
