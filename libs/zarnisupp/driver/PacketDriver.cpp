#include "PacketDriver.h"

#include <algorithm>
#include <cstring>

#include "ByteReader.h"

namespace kvr::zs {

bool FilterAccepts(std::uint32_t filter, const Mac& current, const Mac& permanent, const std::uint8_t* dst) {
    if (filter & kFilterPromiscuous) return true;
    const bool broadcast = std::all_of(dst, dst + 6, [](std::uint8_t b) { return b == 0xFF; });
    if (broadcast) return (filter & kFilterBroadcast) != 0;
    if (dst[0] & 1) return (filter & kFilterAllMulticast) != 0;
    if (!(filter & kFilterDirected)) return false;
    return std::equal(dst, dst + 6, current.begin()) || std::equal(dst, dst + 6, permanent.begin());
}

std::uint32_t AnswerQuery(std::uint8_t* buffer, std::uint32_t length, const void* value, std::size_t n) {
    if (!buffer || length < n) return kStatusBufferTooShort;
    std::memcpy(buffer, value, n);
    return kStatusSuccess;
}

std::uint32_t AnswerQueryU32(std::uint8_t* buffer, std::uint32_t length, std::uint32_t value) {
    const std::uint8_t le[4] = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                                static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
    return AnswerQuery(buffer, length, le, 4);
}

bool SetValueU32(const std::uint8_t* buffer, std::uint32_t length, std::uint32_t& value, std::uint32_t* status) {
    kvr::ByteReader r(buffer, length);
    if (length != 4) {
        *status = kStatusInvalidLength;
        return false;
    }
    value = r.U32();
    if (!r.Ok()) {
        *status = kStatusInvalidLength;
        return false;
    }
    *status = kStatusSuccess;
    return true;
}

}  // namespace kvr::zs
