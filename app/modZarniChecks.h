#pragma once
// Start-up checks of the main module: the operating system, packet-driver
// files that must not lie in the application directory, and the repair of a
// badly installed driver service.
#include <optional>
#include <string>

namespace kvr {

// Platform identifiers of a version record (the Windows ones keep their
// historical values).
inline constexpr long kPlatformWin32s = 0;
inline constexpr long kPlatformWindows9x = 1;
inline constexpr long kPlatformWindowsNT = 2;
inline constexpr long kPlatformLinux = 0x4C4E;

// The platform's version record.
struct OsVersionRecord {
    long MajorVersion = 0;
    long MinorVersion = 0;
    long BuildNumber = 0;
    long PlatformId = 0;
    std::string CSDVersion;  // service-pack text (Linux: the kernel release)
};

struct OsVerdict {
    std::string Name;   // "Windows XP", "Linux 6.1", "Unknown version of windows: ..."
    bool Accepted = false;
};

// Names the system and says whether the program runs on it. Pure: no log.
// Linux is accepted, as are Windows 98 with "A" in the service-pack text, ME,
// 2000, XP and the NT 6.x/10.x family; everything else is refused.
OsVerdict ClassifyOS(const OsVersionRecord& record);

// The running system's record (uname); nullopt when it cannot be read.
std::optional<OsVersionRecord> ReadPlatformVersion();

}  // namespace kvr

// True when the program runs on this system. Logs at USER
//   CheckOS: <name> detected.  Version="<service-pack text>"
// or, when there is no record, the failure at ERROR.
bool CheckOS(const std::optional<kvr::OsVersionRecord>& record);
bool CheckOS();  // with the running system's record

// 0 when the installation is sound; -1 when a packet-driver file (PKTNRW.SYS,
// PKTNRW.DLL, PKTNRW.VXD; the name in any case) lies in the application
// directory G().AppDirectory. Then the first one found (in that order) is
// named in an ERROR log line and a message box (Prompter seam), the driver
// service repair runs (RepairDriverService, DriverService.h), and the
// program must end.
long VerifySupportingFiles();
