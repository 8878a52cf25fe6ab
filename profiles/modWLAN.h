#pragma once
// Value helpers of the profile exchange: WEP key text to key bytes, the check
// of a dotted IPv4 address and its conversion to the long that travels in a
// profile (first octet in the least significant byte).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kvr::profiles {

// The key bytes of a WEP key text: 5 or 13 characters as text, 10 or 26
// hexadecimal digits as 5 or 13 bytes. Any other length gives length 0, one
// zero byte and false; a digit pair that is not hexadecimal logs
// "Error #13: Type mismatch in WEPKeyAsVar" (never the key) and gives false.
bool WEPKeyAsVar(const std::string& key, std::int32_t& length, std::vector<std::uint8_t>& bytes);

// True for exactly four dot-separated parts of one to three decimal digits,
// each 0 to 255 ("192.168.1.20"). Signs, blanks, hexadecimal or exponent
// forms ("0x1F", "1e2") are refused.
bool IsValidIPAddress(const std::string& text);

// The long of a valid dotted address; nullopt when IsValidIPAddress refuses it.
std::optional<std::int32_t> IpAddressLong(const std::string& text);

// Makes WEPKeyAsVar the key converter of the PC's own wireless settings.
void InstallWepKeyConverter();

}  // namespace kvr::profiles
