#include "DeviceRecord.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

#include "basUtils.h"
#include "clsZarn.h"

namespace kvr {
namespace {

// Keeps the fields in the order they are written: scripts and people read them.
using Json = nlohmann::ordered_json;

Json RecordObject(const ListedDevice& d) {
    Json o;
    o["mac"] = d.mac;
    o["name"] = Latin1ToUtf8(d.name);
    o["adapter"] = d.adapter;
    o["ip"] = d.ip;
    o["firmware"] = d.firmware;
    o["hardware"] = d.hardware;
    o["download_mode"] = d.downloadMode;
    return o;
}

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

}  // namespace

ListedDevice ListedDeviceOf(const clsZarn& z) {
    ListedDevice d;
    d.mac = ::FormatMacAddress(z.MAC);
    d.name = z.Name;
    d.adapter = z.NICName;
    d.ip = z.GetIPStatus();
    d.firmware = FirmwareVersionOf(z);
    d.hardware = std::to_string(z.HardwareID) + "." + std::to_string(z.HardwareVersion);
    d.downloadMode = z.IsInDownloadMode;
    return d;
}

std::string FirmwareVersionOf(const clsZarn& z) {
    return z.IsFirmwareIdValid ? std::to_string(z.FirmwareID) + "." + std::to_string(z.FirmwareVersion) : "";
}

std::string DeviceRecordJson(const ListedDevice& device) {
    // An adapter description that is not UTF-8 gets replacement characters
    // rather than breaking the line.
    return RecordObject(device).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string DeviceListJson(const std::vector<ListedDevice>& devices) {
    std::string out = "[";
    for (std::size_t i = 0; i < devices.size(); ++i) out += (i ? ",\n" : "\n") + DeviceRecordJson(devices[i]);
    return out + "\n]\n";
}

std::string DeviceListCsv(const std::vector<ListedDevice>& devices) {
    std::string out = "mac,name,adapter,ip,firmware,hardware,download_mode\r\n";
    for (const ListedDevice& d : devices) {
        for (const std::string& field : {d.mac, Latin1ToUtf8(d.name), d.adapter, d.ip, d.firmware, d.hardware})
            out += CsvField(field) + ",";
        out += d.downloadMode ? "true\r\n" : "false\r\n";
    }
    return out;
}

std::string Latin1ToUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

bool WriteFileWhole(const std::string& path, const std::string& content, std::string& error) {
    std::string temp = path + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    // The file gets the permissions any new file of the user gets (mkstemp's are private).
    const mode_t mask = ::umask(0);
    ::umask(mask);
    int err = ::fchmod(fd, 0666 & ~mask) == 0 ? 0 : errno;
    for (std::size_t done = 0; err == 0 && done < content.size();) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n == 0 || errno != EINTR)
            err = n == 0 ? EIO : errno;
    }
    if (err == 0 && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && ::rename(temp.c_str(), path.c_str()) != 0) err = errno;
    const bool ok = err == 0;
    if (!ok) error = std::strerror(err);
    if (!ok) ::unlink(temp.c_str());
    return ok;
}

}  // namespace kvr
