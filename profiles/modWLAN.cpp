#include "modWLAN.h"

#include "RunTimeError.h"
#include "basDebug.h"
#include "clsPayload.h"
#include "clsWLAN.h"

namespace kvr::profiles {
namespace {
const ModuleLog Log("modWLAN");
}

bool WEPKeyAsVar(const std::string& key, std::int32_t& length, std::vector<std::uint8_t>& bytes) {
    length = 0;
    bytes.assign(1, 0);
    const std::size_t n = key.size();
    if (n != 5 && n != 10 && n != 13 && n != 26) return false;
    std::vector<std::uint8_t> out;
    if (!kvr::WepKeyBytes(key, out)) {
        // Only a hexadecimal form can fail here: a digit pair that is not hexadecimal.
        Log(FormatTrappedError(13, "Type mismatch", "WEPKeyAsVar"), LEVEL_ERROR);
        return false;
    }
    bytes = std::move(out);
    length = static_cast<std::int32_t>(bytes.size());
    return true;
}

std::optional<std::int32_t> IpAddressLong(const std::string& text) {
    std::uint32_t value = 0;
    std::size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (pos >= text.size() || text[pos] != '.') return std::nullopt;
            ++pos;
        }
        unsigned number = 0;
        std::size_t digits = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 4) {
            number = number * 10 + static_cast<unsigned>(text[pos] - '0');
            ++pos;
            ++digits;
        }
        if (digits == 0 || digits > 3 || number > 255) return std::nullopt;
        value |= number << (8 * part);
    }
    if (pos != text.size()) return std::nullopt;
    return static_cast<std::int32_t>(value);
}

bool IsValidIPAddress(const std::string& text) { return IpAddressLong(text).has_value(); }

void InstallWepKeyConverter() { clsWLAN::SetWepKeyConverter(&WEPKeyAsVar); }

}  // namespace kvr::profiles
