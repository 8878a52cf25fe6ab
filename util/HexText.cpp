#include "HexText.h"

namespace kvr {

namespace {

constexpr char kDigits[] = "0123456789ABCDEF";

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsMacSeparator(char c) { return c == ':' || c == '-' || c == ' '; }

// The digits of a MAC text in upper case, separators left out.
std::string MacKey(std::string_view mac) {
    std::string k;
    k.reserve(12);
    for (char c : mac) {
        if (IsMacSeparator(c)) continue;
        k.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
    }
    return k;
}

}  // namespace

std::string HexUpper(std::uint32_t v) {
    if (v == 0) return "0";
    std::string s;
    while (v) {
        s.insert(s.begin(), kDigits[v & 0x0F]);
        v >>= 4;
    }
    return s;
}

std::string HexPairs(const std::uint8_t* bytes, std::size_t count) {
    std::string s;
    s.reserve(count * 3);
    for (std::size_t i = 0; i < count; ++i) {
        if (i) s.push_back(' ');
        s.push_back(kDigits[bytes[i] >> 4]);
        s.push_back(kDigits[bytes[i] & 0x0F]);
    }
    return s;
}

std::string MacText(const std::uint8_t* mac) {
    std::string s(12, '0');
    for (std::size_t i = 0; i < 6; ++i) {
        s[2 * i] = kDigits[mac[i] >> 4];
        s[2 * i + 1] = kDigits[mac[i] & 0x0F];
    }
    return s;
}

std::optional<MacAddress> ParseMac(std::string_view text) {
    MacAddress mac{};
    std::size_t nibbles = 0;
    for (char c : text) {
        if (IsMacSeparator(c)) continue;
        const int v = HexValue(c);
        if (v < 0 || nibbles >= 12) return std::nullopt;
        auto& b = mac[nibbles / 2];
        b = static_cast<std::uint8_t>(nibbles % 2 == 0 ? v << 4 : (b | v));
        ++nibbles;
    }
    if (nibbles != 12) return std::nullopt;
    return mac;
}

bool SameMac(std::string_view a, std::string_view b) { return MacKey(a) == MacKey(b); }

std::string RemoveColons(const std::string& mac) {
    std::string out;
    out.reserve(mac.size());
    for (char c : mac)
        if (c != ':') out.push_back(c);
    return out;
}

}  // namespace kvr
