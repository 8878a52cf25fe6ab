#pragma once
// Makes .qfw firmware files, for tests of the firmware upgrade and for the
// demonstration: a 96-byte header followed by the sections it describes, each
// with its CRC-32 (the utility library's crc32_gen, as the program checks it).
//
//   kvr::sim::QfwSpec spec;                    // defaults: the demo devices' next version
//   spec.swVersion = 0x0300;
//   spec.image1 = kvr::sim::QfwFiller(4096, 1);
//   spec.cne = kvr::sim::QfwFiller(512, 2);
//   std::vector<std::uint8_t> file = kvr::sim::MakeQfw(spec);
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kvr::sim {

struct QfwSpec {
    std::uint32_t swid = 0x0100;                // SWID
    std::uint32_t swVersion = 0x0204;           // SWVersion
    std::int16_t hardwareId = 1;                // HardwareID
    std::int16_t compatibleHardwareVersion = 1; // CompatibleHardwareVersion
    std::string date = "20270301";              // Date, YYYYMMDD (at most 8 characters, zero-padded)
    std::string time = "12000000";              // Time, HHMMSSxx
    std::array<std::uint8_t, 4> cneTag{'C', 'N', 'E', '1'};
    // Section contents; nullopt leaves the section absent (Offset 0). A present
    // empty section gets Length 0 and CRC 0.
    std::optional<std::vector<std::uint8_t>> image1, image2, cne;
    std::array<std::uint8_t, 4> image1Target{}, image2Target{}, cneTarget{};
};

// The largest file MakeQfw builds (offsets and lengths are signed 32-bit numbers).
inline constexpr std::uint64_t kMaxQfwBytes = 0x7FFFFFFFu;

// The whole file: the header, then CNE, Image1 and Image2 in this order. Throws
// std::length_error when the file would exceed kMaxQfwBytes.
std::vector<std::uint8_t> MakeQfw(const QfwSpec& spec);

// n bytes of repeatable content, different for each seed, to fill a section.
std::vector<std::uint8_t> QfwFiller(std::size_t n, std::uint32_t seed);

// Fields of `kvrsim --make-qfw OUT [fields]` (key=value each) into `spec`.
// False with a reason naming the field on a bad one; QfwFieldsHelp() lists them.
bool ParseQfwFields(const std::vector<std::string>& fields, QfwSpec& spec, std::string* error);
std::string QfwFieldsHelp();

// Writes the file through a temporary beside it, so a failure leaves no half file.
bool WriteQfwFile(const std::string& path, const std::vector<std::uint8_t>& bytes, std::string* error);

}  // namespace kvr::sim
