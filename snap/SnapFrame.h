#pragma once
// Hexadecimal texts of the SNAP layer: MAC addresses as 12 digits and values
// in log lines. (Whole frames are built and taken apart by SnapCodec.)
#include <cstdint>
#include <string>

namespace kvr {

// "0107F5000100" <-> bytes. MacFromHex accepts 12 hexadecimal digits in either case.
bool MacFromHex(const std::string& text, std::uint8_t out[6]);
std::string MacToHex(const std::uint8_t* mac);

// Upper-case hexadecimal without leading zeros of a 32-bit value (two's
// complement for negative values, so -1 gives "FFFFFFFF").
std::string Hex(std::int64_t value);

}  // namespace kvr
