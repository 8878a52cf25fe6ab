#pragma once
// Small text helpers of the adapter layer's log lines.
#include <cstdint>
#include <cstdio>
#include <string>

namespace kvr {

// Upper-case hexadecimal without leading zeros ("10032", "FFFFFFFD").
inline std::string HexText(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%X", v);
    return buf;
}

// Six bytes as 12 upper-case hexadecimal digits without separators.
inline std::string MacText(const std::uint8_t* mac) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02X%02X%02X%02X%02X%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return buf;
}

// Bytes as upper-case hexadecimal pairs separated by blanks ("00 07 F5").
inline std::string HexPairs(const std::uint8_t* p, std::size_t n) {
    std::string s;
    char buf[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%02X", p[i]);
        if (i) s.push_back(' ');
        s += buf;
    }
    return s;
}

inline const char* BoolText(bool b) { return b ? "True" : "False"; }

}  // namespace kvr
