#pragma once
// Hexadecimal, MAC address and flag texts as log lines, file names and the
// command line write them. Pure functions, no state.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kvr {

using MacAddress = std::array<std::uint8_t, 6>;

// Upper-case hexadecimal digits without leading zeros ("1F", "0"). A negative
// 32-bit value converted to uint32_t shows as its eight-digit two's complement
// ("FFFFFFFD"); pass a 16-bit value as uint16_t for at most four digits.
std::string HexUpper(std::uint32_t v);

// Bytes as upper-case hexadecimal pairs separated by blanks ("00 07 F5").
std::string HexPairs(const std::uint8_t* bytes, std::size_t count);

// Six bytes as 12 upper-case hexadecimal digits without separators ("0007F50A0B0C").
std::string MacText(const std::uint8_t* mac);
inline std::string MacText(const MacAddress& mac) { return MacText(mac.data()); }

// 12 hexadecimal digits in either case; ':', '-' and blanks between them are
// ignored. nullopt for anything else (another character, more or fewer digits).
std::optional<MacAddress> ParseMac(std::string_view text);

// Two MAC texts name the same address: equal apart from separators (':', '-',
// blanks) and the case of their letters.
bool SameMac(std::string_view a, std::string_view b);

// A MAC text without its colons ("00:07:F5:00:01:00" -> "0007F5000100").
std::string RemoveColons(const std::string& mac);

// "True" / "False", as log lines show flags.
inline const char* BoolText(bool b) { return b ? "True" : "False"; }

}  // namespace kvr
