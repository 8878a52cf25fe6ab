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

std::uint32_t FactPort::Request(bool set, std::uint32_t oid, std::uint8_t* buffer, std::uint32_t length) {
    if (Vanished()) return kStatusAdapterRemoved;
    if (set) {
        if (oid != OID_GEN_CURRENT_PACKET_FILTER) return kStatusNotSupported;
        std::uint32_t filter = 0, status = 0;
        if (!SetValueU32(buffer, length, filter, &status)) return status;
        return SetFilter(filter);
    }
    switch (oid) {
    case OID_GEN_PHYSICAL_MEDIUM:
        return AnswerQueryU32(buffer, length, PhysicalMedium());
    case OID_GEN_MEDIA_IN_USE:
    case OID_GEN_MEDIA_SUPPORTED:
        return AnswerQueryU32(buffer, length, kMediumEthernet);
    case OID_GEN_MAXIMUM_FRAME_SIZE:
        return AnswerQueryU32(buffer, length, 1500);
    case OID_GEN_CURRENT_PACKET_FILTER:
        return AnswerQueryU32(buffer, length, PacketFilter());
    case OID_GEN_MEDIA_CONNECT_STATUS:
        return AnswerQueryU32(buffer, length, MediaConnected() ? kMediaConnected : kMediaDisconnected);
    case OID_802_3_PERMANENT_ADDRESS: {
        const Mac m = PermanentMac();
        return AnswerQuery(buffer, length, m.data(), m.size());
    }
    case OID_802_3_CURRENT_ADDRESS: {
        const Mac m = CurrentMac();
        return AnswerQuery(buffer, length, m.data(), m.size());
    }
    default:
        return QueryOther(oid, buffer, length);
    }
}

std::uint32_t FactPort::QueryOther(std::uint32_t, std::uint8_t*, std::uint32_t) { return kStatusNotSupported; }

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
