#pragma once
// Checking a .qfw file before it is offered for download, the texts that show
// its header, and the one test of whether a device may take a file.
//
// The check logs every finding at ERROR under "VerifyQfwIntegrity" (module
// "frmFirmwareWizard") and shows no message box; the caller decides what to
// tell the user. Sections are read and checksummed in bounded blocks: a
// header's Length is a claim, never an allocation size.
#include <cstdint>
#include <span>
#include <string>

#include "QfwHeader.h"

class clsZarn;

namespace kvr {

// Largest piece of a section read at once.
inline constexpr std::size_t kQfwCrcBlock = 64 * 1024;

// True when the file passes every check: a regular file of 1 to 2^31 - 1
// bytes, at least one section present, every present section with a length
// strictly below the file size and a matching CRC-32 (bytes beyond the end of
// the file count as zeros). A negative offset or length ends the check as a
// run-time error ("Error #9: ..." or "Error #63: ... in VerifyQfwIntegrity").
bool VerifyQfwIntegrity(const std::string& fileName);

// The same checks over a file already read into memory (`fileName` only names
// it in the log): the download checks exactly the bytes it is about to send.
bool VerifyQfwImage(std::span<const std::uint8_t> file, const std::string& fileName);

// The file's existence shared by the check and the download: false, with
// "does not exist!" or "is not a regular file!" logged under `procedure`,
// unless `fileName` is a regular file (its size then in `size`).
bool CheckQfwFileIsRegular(const std::string& fileName, const std::string& procedure, std::uint64_t& size);

// The size refusals shared by the check and the download: the 4 GiB, 2 GiB
// and empty-file lines, logged under `procedure`. True when the size is usable.
bool CheckQfwFileSize(std::uint64_t size, const std::string& fileName, const std::string& procedure);

// CRC-32 of `length` bytes of `file` from `offset`, bytes past its end read as
// zero, fed to the utility library's running CRC in blocks of kQfwCrcBlock.
std::uint32_t QfwSectionCrc(std::span<const std::uint8_t> file, std::int64_t offset, std::int64_t length);

// Build date as shown to the user ("2005-11-16"), with " 14:30:05xx" appended
// when the engineering features are on.
std::string QfwBuildDateText(const QfwHeader& header, bool engineeringFeatures);
// Firmware version as shown to the user: decimal SWID "." decimal SWVersion.
std::string QfwVersionText(const QfwHeader& header);

// A device takes a file when its hardware identifier equals the file's and its
// hardware version is at most the file's compatible version (the file's 16-bit
// values sign-extended).
bool IsHardwareCompatible(std::int32_t deviceHardwareId, std::int32_t deviceHardwareVersion,
                          std::int32_t fileHardwareId, std::int32_t fileCompatibleHardwareVersion);
bool IsHardwareCompatible(const clsZarn& device, const QfwHeader& header);

}  // namespace kvr
