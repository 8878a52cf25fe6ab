#include "modZarniChecks.h"

#include <sys/utsname.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "basDebug.h"
#include "basUtils.h"
#include "DriverService.h"
#include "Globals.h"
#include "Seams.h"
#include "Text.h"

namespace {

namespace fs = std::filesystem;

const kvr::ModuleLog Log("modZarni");

constexpr const char* kDriverFiles[] = {"PKTNRW.SYS", "PKTNRW.DLL", "PKTNRW.VXD"};

std::string AppDirectory() {
    if (!G().AppDirectory.empty()) return G().AppDirectory;
    std::error_code ec;
    return fs::current_path(ec).string();
}

// Leading number of a text ("6" of "6.1.0-13-amd64"), 0 when none.
long LeadingNumber(const std::string& s, std::size_t& pos) {
    long v = 0;
    bool any = false;
    while (pos < s.size() && std::isdigit(static_cast<unsigned char>(s[pos]))) {
        if (v < 100000000) v = v * 10 + (s[pos] - '0');
        ++pos;
        any = true;
    }
    return any ? v : 0;
}

// The directory entry whose name equals `name` without regard to case (the
// driver files were made for a system that ignores case), or empty.
std::string FindInDirectory(const std::string& dir, const std::string& name) {
    std::error_code ec;
    fs::path exact = fs::path(dir) / name;
    if (fs::exists(exact, ec)) return exact.string();
    const std::string wanted = kvr::Upper(name);
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (kvr::Upper(it->path().filename().string()) == wanted) return it->path().string();
    }
    return {};
}

}  // namespace

namespace kvr {

OsVerdict ClassifyOS(const OsVersionRecord& r) {
    const long major = r.MajorVersion, minor = r.MinorVersion, id = r.PlatformId;
    auto is = [&](long ma, long mi, long pid) { return major == ma && minor == mi && id == pid; };

    if (id == kPlatformLinux) return {"Linux " + std::to_string(major) + "." + std::to_string(minor), true};
    if (is(4, 0, 1)) return {"Windows 95", false};
    if (is(4, 10, 1)) return {"Windows 98", kvr::Upper(r.CSDVersion).find('A') != std::string::npos};
    if (is(4, 90, 1)) return {"Windows ME", true};
    if (is(3, 51, 2)) return {"Windows NT 3.51", false};
    if (is(4, 0, 2)) return {"Windows NT 4.0", false};
    if (is(5, 0, 2)) return {"Windows 2000", true};
    if (is(5, 1, 2)) return {"Windows XP", true};
    if (is(5, 2, 2)) return {"Windows Server 2003", false};
    // Current Windows: NT 6.x (Vista to 8.1) and 10.0 (10 and 11).
    if (id == kPlatformWindowsNT && major == 6) {
        switch (minor) {
            case 0: return {"Windows Vista", true};
            case 1: return {"Windows 7", true};
            case 2: return {"Windows 8", true};
            case 3: return {"Windows 8.1", true};
            default: return {"Windows NT 6." + std::to_string(minor), true};
        }
    }
    if (id == kPlatformWindowsNT && major == 10)
        return {r.BuildNumber >= 22000 ? "Windows 11" : "Windows 10", true};
    return {"Unknown version of windows: Major Version = " + std::to_string(major) +
                " Minor Version = " + std::to_string(minor) + " PlatformID = " + std::to_string(id),
            false};
}

std::optional<OsVersionRecord> ReadPlatformVersion() {
    struct utsname u {};
    if (uname(&u) != 0) return std::nullopt;
    OsVersionRecord r;
    const std::string sysname = u.sysname;
    const std::string release = u.release;
    r.PlatformId = sysname == "Linux" ? kPlatformLinux : -1;
    std::size_t pos = 0;
    r.MajorVersion = LeadingNumber(release, pos);
    if (pos < release.size() && release[pos] == '.') r.MinorVersion = LeadingNumber(release, ++pos);
    if (pos < release.size() && release[pos] == '.') r.BuildNumber = LeadingNumber(release, ++pos);
    r.CSDVersion = release.substr(0, 128);
    return r;
}

}  // namespace kvr

bool CheckOS(const std::optional<kvr::OsVersionRecord>& record) {
    if (!record) {
        Log("CheckOS Error: failed to get OS version.  uname failed in CheckOS", kvr::LEVEL_ERROR);
        return false;
    }
    kvr::OsVersionRecord r = *record;
    // The service-pack text ends at its first NUL and holds at most 128 characters.
    r.CSDVersion = r.CSDVersion.substr(0, std::min<std::size_t>(r.CSDVersion.find('\0'), 128));
    const kvr::OsVerdict v = kvr::ClassifyOS(r);
    Log("CheckOS: " + v.Name + " detected.  Version=\"" + r.CSDVersion + "\"", kvr::LEVEL_USER);
    return v.Accepted;
}

bool CheckOS() { return CheckOS(kvr::ReadPlatformVersion()); }

long VerifySupportingFiles() {
    const std::string dir = AppDirectory();
    std::string found;
    for (const char* name : kDriverFiles) {
        found = FindInDirectory(dir, name);
        if (!found.empty()) break;
    }
    if (found.empty()) return 0;

    const std::string text = LoadResStringWrapper(1107) + ".  " + LoadResStringWrapper(1108) + " '" + found +
                             "' " + LoadResStringWrapper(1109) + "...";
    Log(text, kvr::LEVEL_ERROR, "VerifySupportingFiles");
    kvr::CurrentPrompter().Ask(text, kProgramTitle, kvr::PromptButtons::OK, kvr::PromptIcon::None);
    RepairDriverService(
        "VerifySupportingFiles: Improper driver installation: Performing corrective action of Deleting "
        "Service...  You should restart the application");
    return -1;
}
