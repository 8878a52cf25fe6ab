#include "SnapCodec.h"

#include <algorithm>

#include "ByteReader.h"

namespace kvr {

namespace {
constexpr std::array<std::uint8_t, 3> kLlcHeader{0xAA, 0xAA, 0x03};
constexpr std::uint8_t kLlcDsapAlternative = 0xAB;  // some stations send it; it counts as 0xAA
constexpr std::array<std::uint8_t, 5> kSnapId{0x00, 0x07, 0xF5, 0x00, 0x00};
constexpr std::size_t kSnapHeaderOffset = 22;
constexpr std::uint16_t kVersion8Word = 8;
}  // namespace

bool ReadEthernetHeader(std::span<const std::uint8_t> bytes, EthernetHeader& out) {
    ByteReader r(bytes);
    EthernetHeader h;
    r.Bytes(h.destination.data(), h.destination.size());
    r.Bytes(h.source.data(), h.source.size());
    h.length = r.U16BE();
    if (!r.Ok()) return false;
    out = h;
    return true;
}

SnapParse ParseSnapFrame(std::span<const std::uint8_t> bytes, SnapFrame& out, SnapParseDetail* detail) {
    SnapParseDetail unused;
    SnapParseDetail& d = detail ? *detail : unused;
    d = SnapParseDetail{};

    ByteReader r(bytes);
    EthernetHeader eth;
    std::array<std::uint8_t, 3> llc{};
    std::array<std::uint8_t, 5> snap{};
    r.Bytes(eth.destination.data(), 6);
    r.Bytes(eth.source.data(), 6);
    eth.length = r.U16BE();
    r.Bytes(llc.data(), llc.size());
    r.Bytes(snap.data(), snap.size());
    if (!r.Ok()) return SnapParse::NotSnap;
    if (llc[0] == kLlcDsapAlternative) llc[0] = kLlcHeader[0];
    if (llc != kLlcHeader || snap != kSnapId) return SnapParse::NotSnap;

    // Padding beyond the 802.3 length is not part of the frame.
    const std::size_t end = 14 + static_cast<std::size_t>(eth.length);
    if (end > bytes.size()) {
        d.claimed = end;
        d.room = bytes.size();
        return SnapParse::Truncated;
    }
    ByteReader h(bytes.first(end));
    h.Seek(kSnapHeaderOffset);
    // A version-8 header starts with the word 8; anything else is version 0,
    // whose first byte is the frame type.
    const bool v8 = h.U16() == kVersion8Word && h.Ok();
    if (!v8) h.Seek(kSnapHeaderOffset);
    const std::uint8_t frameType = h.U8();
    const std::uint16_t label = h.U16();
    const std::uint8_t status = h.U8();
    const std::uint16_t payloadLen = h.U16();
    MacAddress sender = eth.source;
    if (v8) h.Bytes(sender.data(), sender.size());
    if (!h.Ok()) {
        d.claimed = end;
        return SnapParse::ShortHeader;
    }
    const std::size_t room = std::min(kSnapMaxFrame - h.Pos(), h.Remaining());
    if (payloadLen > room) {
        d.claimed = payloadLen;
        d.room = room;
        return payloadLen > kSnapMaxFrame - h.Pos() ? SnapParse::TooLong : SnapParse::Truncated;
    }
    const auto body = h.View(payloadLen);
    out.sender = sender;
    out.version = v8 ? 8 : 0;
    out.frameType = frameType;
    out.label = static_cast<std::int16_t>(label);
    out.status = status;
    out.payload.assign(body.begin(), body.end());
    return SnapParse::Ok;
}

bool BuildSnapFrame(const MacAddress& destination, const SnapFrame& frame, std::vector<std::uint8_t>& out) {
    out.clear();
    if (frame.version != 0 && frame.version != 8) return false;
    const std::size_t offset = SnapPayloadOffset(frame.version);
    if (frame.payload.size() > kSnapMaxFrame - offset) return false;
    const std::size_t total = offset + frame.payload.size();
    const std::size_t lengthField = total - 14;
    const auto label = static_cast<std::uint16_t>(frame.label);
    const auto payloadLen = static_cast<std::uint16_t>(frame.payload.size());

    out.reserve(total);
    out.insert(out.end(), destination.begin(), destination.end());
    out.insert(out.end(), frame.sender.begin(), frame.sender.end());
    out.push_back(static_cast<std::uint8_t>(lengthField >> 8));
    out.push_back(static_cast<std::uint8_t>(lengthField & 0xFF));
    out.insert(out.end(), kLlcHeader.begin(), kLlcHeader.end());
    out.insert(out.end(), kSnapId.begin(), kSnapId.end());
    if (frame.version == 8) {
        out.push_back(static_cast<std::uint8_t>(kVersion8Word & 0xFF));
        out.push_back(static_cast<std::uint8_t>(kVersion8Word >> 8));
    }
    out.push_back(frame.frameType);
    out.push_back(static_cast<std::uint8_t>(label & 0xFF));
    out.push_back(static_cast<std::uint8_t>(label >> 8));
    out.push_back(frame.status);
    out.push_back(static_cast<std::uint8_t>(payloadLen & 0xFF));
    out.push_back(static_cast<std::uint8_t>(payloadLen >> 8));
    if (frame.version == 8) out.insert(out.end(), frame.sender.begin(), frame.sender.end());
    out.insert(out.end(), frame.payload.begin(), frame.payload.end());
    return true;
}

}  // namespace kvr
