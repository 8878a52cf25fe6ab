#pragma once
// The record of one listed device, as `--list` prints it and the main window
// saves it: the same fields, built in one place. Names come from the devices
// in Latin-1 and are written as UTF-8.
#include <string>
#include <vector>

class clsZarn;

namespace kvr {

struct ListedDevice {
    std::string mac, name, adapter, ip, firmware, hardware;
    bool downloadMode = false;
};

// The device's record: MAC with colons, name as the device sends it (Latin-1),
// firmware "ID.version" ("" when the device reported none), hardware
// "ID.version".
ListedDevice ListedDeviceOf(const clsZarn& zarn);
// Its firmware "ID.version", "" when the device reported none.
std::string FirmwareVersionOf(const clsZarn& zarn);

// One record as a JSON object on one line (no line end).
std::string DeviceRecordJson(const ListedDevice& device);
// The records as a JSON array, one object per line.
std::string DeviceListJson(const std::vector<ListedDevice>& devices);
// The records as CSV: a header line, then one line per device; fields with a
// comma, a quote or a line break are quoted, quotes doubled. Lines end in CR LF.
std::string DeviceListCsv(const std::vector<ListedDevice>& devices);

std::string Latin1ToUtf8(const std::string& text);

// Writes `content` to `path` so that the file is either the old one or the
// whole new one: a temporary file beside it, flushed, then renamed over it.
// False with the reason in `error` (nothing of the new content is left).
bool WriteFileWhole(const std::string& path, const std::string& content, std::string& error);

}  // namespace kvr
