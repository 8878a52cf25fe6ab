#include "QfwIntegrity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <vector>

#include "HexText.h"
#include "RunTimeError.h"
#include "ZarniLibs.h"
#include "basDebug.h"
#include "basUtils.h"
#include "clsZarn.h"

namespace kvr {

namespace {

const ModuleLog Log("frmFirmwareWizard");
const char* const kProc = "VerifyQfwIntegrity";

// A finding: the procedure's name, then the text (which begins with its own ": ").
void Finding(const std::string& procedure, const std::string& text) { Log(procedure + text, LEVEL_ERROR); }

// Reads up to n bytes at a position of the file into buf; returns how many
// were there (0 at or past the end). Throws RunTimeError on a read failure.
using ReadAtFn = std::function<std::size_t(std::uint64_t pos, std::uint8_t* buf, std::size_t n)>;

std::uint32_t StreamedCrc(const ReadAtFn& readAt, std::uint64_t size, std::int64_t offset, std::int64_t length) {
    std::vector<std::uint8_t> block(static_cast<std::size_t>(std::min<std::int64_t>(
        std::max<std::int64_t>(length, 0), static_cast<std::int64_t>(kQfwCrcBlock))));
    std::uint32_t crc = 0xFFFFFFFFu;
    std::int64_t done = 0;
    while (done < length) {
        const std::size_t n = static_cast<std::size_t>(
            std::min<std::int64_t>(length - done, static_cast<std::int64_t>(block.size())));
        const std::uint64_t pos = static_cast<std::uint64_t>(offset + done);
        std::size_t got = 0;
        if (pos < size) got = readAt(pos, block.data(), static_cast<std::size_t>(std::min<std::uint64_t>(n, size - pos)));
        std::fill(block.begin() + static_cast<std::ptrdiff_t>(got), block.begin() + static_cast<std::ptrdiff_t>(n), 0);
        zu::crc32_rgen(block.data(), static_cast<std::int32_t>(n), &crc);
        done += static_cast<std::int64_t>(n);
    }
    return ~crc;
}

// The section checks of a file of `size` bytes (already found usable).
bool CheckSections(const ReadAtFn& readAt, std::uint64_t size, const std::string& fileName) {
    std::uint8_t raw[kQfwHeaderSize] = {};
    const std::size_t got = readAt(0, raw, kQfwHeaderSize);
    std::fill(raw + got, raw + kQfwHeaderSize, 0);  // a short file's header reads as zeros
    QfwHeader h;
    ParseQfwHeader(raw, h);

    const std::int64_t fileSize = static_cast<std::int64_t>(size);
    bool found = false, crcFailed = false, lengthFailed = false;
    const struct {
        const char* name;
        const QfwSection& s;
        const char* crcLead;
    } sections[] = {{"CNE", h.CNE, ": corrupt QFW!  Failed CNE CRC calculation "},
                    {"Image1", h.Image1, ": corrupt QFW!  Failed Image1 CRC calculation "},
                    {"Image2", h.Image2, ": corrupt QFW!  Failed Image2 CRC calculation "}};
    for (const auto& sec : sections) {
        const QfwSection& s = sec.s;
        if (s.Offset == 0) continue;
        // A negative length or offset cannot be read: the check ends as on any
        // other run-time error.
        if (s.Length < 0) throw RunTimeError(9, "Subscript out of range");
        if (s.Offset < 0) throw RunTimeError(63, "Bad record number");
        if (s.Length < fileSize) {
            found = true;
            const std::uint32_t crc = StreamedCrc(readAt, size, s.Offset, s.Length);
            if (crc != s.Crc) {
                crcFailed = true;
                Finding(kProc, std::string(sec.crcLead) + "(calculated=0x" + HexUpper(crc) + ", header=0x" +
                                   HexUpper(s.Crc) + ")!");
            }
        } else {
            lengthFailed = true;
            Finding(kProc, std::string(": ") + sec.name + " length parameter exceeds file size! (len=" +
                               std::to_string(s.Length) + ", size=" + std::to_string(fileSize) + ")");
        }
    }
    if (!found) Finding(kProc, ": " + fileName + " contains no images!");
    return found && !crcFailed && !lengthFailed;
}

// An open file descriptor closed on every path.
class Fd {
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0) ::close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

}  // namespace

bool CheckQfwFileSize(std::uint64_t size, const std::string& fileName, const std::string& procedure) {
    const std::uint32_t high = static_cast<std::uint32_t>(size >> 32);
    const std::int32_t low = static_cast<std::int32_t>(static_cast<std::uint32_t>(size));
    if (high > 0) {
        Finding(procedure,
                ": the size of '" + fileName + "' is waaay to large!  (size > " + std::to_string(high) + " * 4GB)");
        return false;
    }
    if (low < 0) {
        Finding(procedure, ": the size of '" + fileName + "' is waaay to large!  (size > 2GB)");
        return false;
    }
    if (low == 0) {
        Finding(procedure, ": the size of '" + fileName + "' is 0.");
        return false;
    }
    return true;
}

bool CheckQfwFileIsRegular(const std::string& fileName, const std::string& procedure, std::uint64_t& size) {
    size = 0;
    struct stat st {};
    if (fileName.empty() || ::stat(fileName.c_str(), &st) != 0) {
        Finding(procedure, ": '" + fileName + "' does not exist!");
        return false;
    }
    // A pipe, a device or a directory is never opened: reading one may block or never end.
    if (!S_ISREG(st.st_mode)) {
        Finding(procedure, ": '" + fileName + "' is not a regular file!");
        return false;
    }
    size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

std::uint32_t QfwSectionCrc(std::span<const std::uint8_t> file, std::int64_t offset, std::int64_t length) {
    const ReadAtFn readAt = [&](std::uint64_t pos, std::uint8_t* buf, std::size_t n) -> std::size_t {
        if (pos >= file.size()) return 0;
        const std::size_t k = std::min<std::size_t>(n, file.size() - static_cast<std::size_t>(pos));
        std::memcpy(buf, file.data() + pos, k);
        return k;
    };
    if (offset < 0 || length < 0) return 0;
    return StreamedCrc(readAt, file.size(), offset, length);
}

bool VerifyQfwIntegrity(const std::string& fileName) {
    try {
        std::uint64_t size = 0;
        if (!CheckQfwFileIsRegular(fileName, kProc, size)) return false;
        if (!CheckQfwFileSize(size, fileName, kProc)) return false;
        Fd fd(::open(fileName.c_str(), O_RDONLY | O_CLOEXEC));
        if (fd.get() < 0) throw RunTimeError(75, "Path/File access error");
        const ReadAtFn readAt = [&](std::uint64_t pos, std::uint8_t* buf, std::size_t n) -> std::size_t {
            std::size_t total = 0;
            while (total < n) {
                const ssize_t r = ::pread(fd.get(), buf + total, n - total, static_cast<off_t>(pos + total));
                if (r < 0 && errno == EINTR) continue;
                if (r < 0) throw RunTimeError(57, "Device I/O error");
                if (r == 0) break;  // the file got shorter: the rest reads as zeros
                total += static_cast<std::size_t>(r);
            }
            return total;
        };
        return CheckSections(readAt, size, fileName);
    } catch (...) {
        LogTrappedError(Log, kProc);
        return false;
    }
}

bool VerifyQfwImage(std::span<const std::uint8_t> file, const std::string& fileName) {
    try {
        if (!CheckQfwFileSize(file.size(), fileName, kProc)) return false;
        const ReadAtFn readAt = [&](std::uint64_t pos, std::uint8_t* buf, std::size_t n) -> std::size_t {
            if (pos >= file.size()) return 0;
            const std::size_t k = std::min<std::size_t>(n, file.size() - static_cast<std::size_t>(pos));
            std::memcpy(buf, file.data() + pos, k);
            return k;
        };
        return CheckSections(readAt, file.size(), fileName);
    } catch (...) {
        LogTrappedError(Log, kProc);
        return false;
    }
}

std::string QfwBuildDateText(const QfwHeader& header, bool engineeringFeatures) {
    std::string text = FormatFirmwareDate(header.DateText());
    if (engineeringFeatures) text += " " + FormatFirmwareTime(header.TimeText());
    return text;
}

std::string QfwVersionText(const QfwHeader& header) { return header.VersionText(); }

bool IsHardwareCompatible(std::int32_t deviceHardwareId, std::int32_t deviceHardwareVersion,
                          std::int32_t fileHardwareId, std::int32_t fileCompatibleHardwareVersion) {
    return deviceHardwareId == fileHardwareId && deviceHardwareVersion <= fileCompatibleHardwareVersion;
}

bool IsHardwareCompatible(const clsZarn& device, const QfwHeader& header) {
    return IsHardwareCompatible(device.HardwareID, device.HardwareVersion, header.HardwareID,
                                header.CompatibleHardwareVersion);
}

}  // namespace kvr
