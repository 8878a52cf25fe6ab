#include "SnapFrame.h"

#include "HexText.h"

namespace kvr {

// The SNAP layer's names for the one hex and MAC text module (HexText.h).
bool MacFromHex(const std::string& text, std::uint8_t out[6]) {
    const auto mac = ParseMac(text);
    if (!mac) return false;
    for (std::size_t i = 0; i < 6; ++i) out[i] = (*mac)[i];
    return true;
}

std::string MacToHex(const std::uint8_t* mac) { return MacText(mac); }

std::string Hex(std::int64_t value) { return HexUpper(static_cast<std::uint32_t>(value)); }

}  // namespace kvr
