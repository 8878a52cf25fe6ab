#pragma once
// The 96-byte header at the start of every .qfw firmware file, and its three
// section descriptors. All numbers are little-endian. The reader takes the
// bytes through the checked cursor; it never trusts an offset or a length:
// those are claims that the users of a section check against the file size
// (QfwSection::FitsIn).
//
//   0x00  Magic "qFoW"          0x20  HardwareID (int16)
//   0x04  CneTag (opaque)       0x22  CompatibleHardwareVersion (int16)
//   0x08  Date  "YYYYMMDD"      0x24  Reserved1 (12 bytes)
//   0x10  Time  "HHMMSSxx"      0x30  Image1  section
//   0x18  SWID      (int32)     0x40  Image2  section
//   0x1C  SWVersion (int32)     0x50  CNE     section
//
// A section: Offset (int32, absolute, 0 = absent), TargetInfo (opaque),
// Length (int32), Crc (uint32, CRC-32 of the Length bytes at Offset).
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace kvr {

inline constexpr std::size_t kQfwHeaderSize = 96;
inline constexpr std::size_t kQfwSectionSize = 16;

struct QfwSection {
    std::int32_t Offset = 0;
    std::array<std::uint8_t, 4> TargetInfo{};
    std::int32_t Length = 0;
    std::uint32_t Crc = 0;

    bool Present() const { return Offset != 0; }
    // True when the section's bytes lie wholly inside a file of fileSize bytes
    // (offset and length not negative, offset + length <= fileSize; computed
    // without overflow).
    bool FitsIn(std::int64_t fileSize) const;
};

struct QfwHeader {
    std::array<std::uint8_t, 4> Magic{};
    std::array<std::uint8_t, 4> CneTag{};
    std::array<std::uint8_t, 8> Date{};
    std::array<std::uint8_t, 8> Time{};
    std::array<std::uint8_t, 4> SWID{};
    std::array<std::uint8_t, 4> SWVersion{};
    std::int16_t HardwareID = 0;
    std::int16_t CompatibleHardwareVersion = 0;
    std::array<std::uint8_t, 12> Reserved1{};
    QfwSection Image1;
    QfwSection Image2;
    QfwSection CNE;

    // "qFoW" in the first four bytes.
    bool HasMagic() const;
    // SWID and SWVersion as signed little-endian 32-bit numbers.
    std::int32_t SwId() const;
    std::int32_t SwVersionNumber() const;
    // Date and Time as texts, one character per byte ("20051116", "143005xx");
    // FormatFirmwareDate/FormatFirmwareTime make them readable.
    std::string DateText() const;
    std::string TimeText() const;
    // Decimal SWID + "." + decimal SWVersion, e.g. "3.17" or "-1.2".
    std::string VersionText() const;
};

// Reads a header from the first 96 bytes of `bytes`. Returns false (and
// leaves `out` all zero) when fewer than 96 bytes are given.
bool ParseQfwHeader(std::span<const std::uint8_t> bytes, QfwHeader& out);

enum class QfwReadStatus {
    Ok,        // 96 bytes read
    Short,     // the file is shorter than 96 bytes: the missing bytes read as 0
    NotAFile,  // missing, or not a regular file
    ReadError, // exists but cannot be opened or read
};

// Opens the file read-only, reads its header from offset 0 and closes it.
// A file shorter than the header gives its bytes followed by zeros (status
// Short), as the firmware readers expect. With NotAFile or ReadError `out` is
// all zero and *error (when given) describes the failure.
QfwReadStatus ReadQfwHeaderFile(const std::string& path, QfwHeader& out, std::string* error = nullptr,
                                std::int64_t* fileSize = nullptr);

}  // namespace kvr
