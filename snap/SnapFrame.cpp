#include "SnapFrame.h"

namespace kvr {

namespace {
int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

bool MacFromHex(const std::string& text, std::uint8_t out[6]) {
    if (text.size() != 12) return false;
    for (int i = 0; i < 6; ++i) {
        const int hi = HexValue(text[2 * i]);
        const int lo = HexValue(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i] = static_cast<std::uint8_t>(hi * 16 + lo);
    }
    return true;
}

std::string MacToHex(const std::uint8_t* mac) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s(12, '0');
    for (int i = 0; i < 6; ++i) {
        s[2 * i] = digits[mac[i] >> 4];
        s[2 * i + 1] = digits[mac[i] & 0x0F];
    }
    return s;
}

std::string Hex(std::int64_t value) {
    static const char digits[] = "0123456789ABCDEF";
    auto v = static_cast<std::uint32_t>(value);
    if (v == 0) return "0";
    std::string s;
    while (v) {
        s.insert(s.begin(), digits[v & 0x0F]);
        v >>= 4;
    }
    return s;
}

}  // namespace kvr
