#include "SnapFrame.h"

#include "ByteReader.h"
#include "HexText.h"
#include "Rids.h"

namespace kvr {

SnapParse ParseSnapFrame(const std::uint8_t* data, std::size_t size, SnapFrame& out) {
    ByteReader r(data, size);
    std::uint8_t dst[6], src[6], llc[3], snap[5];
    r.Bytes(dst, 6);
    r.Bytes(src, 6);
    const std::uint16_t lengthField = r.U16BE();
    r.Bytes(llc, 3);
    r.Bytes(snap, 5);
    if (!r.Ok()) return SnapParse::NotSnap;
    if (llc[0] == SNAP_LLC_DSAP_ALT) llc[0] = SNAP_LLC_HEADER[0];
    for (int i = 0; i < 3; ++i)
        if (llc[i] != SNAP_LLC_HEADER[i]) return SnapParse::NotSnap;
    for (int i = 0; i < 5; ++i)
        if (snap[i] != SNAP_SNAP_HEADER[i]) return SnapParse::NotSnap;

    // A version-8 header starts with the word 8; anything else is version 0,
    // whose first byte is the frame type.
    std::int16_t version = SNAP_VERSION_0;
    ByteReader peek(data, size);
    peek.Seek(SNAP_PROTO_HEADER_OFFSET);
    if (peek.U16() == 8 && peek.Ok()) {
        version = SNAP_VERSION_8;
        r.Skip(2);
    }
    const std::uint8_t frameType = r.U8();
    const std::uint16_t label = r.U16();
    const std::uint8_t status = r.U8();
    const std::uint16_t payloadLen = r.U16();
    std::uint8_t sender[6];
    if (version == SNAP_VERSION_8) {
        r.Bytes(sender, 6);
    } else {
        for (int i = 0; i < 6; ++i) sender[i] = src[i];
    }
    if (!r.Ok()) return SnapParse::Truncated;
    if (payloadLen > SNAP_MAX_FRAME - r.Pos()) return SnapParse::TooLong;
    if (payloadLen > r.Remaining()) return SnapParse::Truncated;

    out.dstMAC = MacText(dst);
    out.ethSrcMAC = MacText(src);
    out.srcMAC = MacText(sender);
    out.lengthField = lengthField;
    out.version = version;
    out.frameType = frameType;
    out.label = label;
    out.status = status;
    out.payloadLen = payloadLen;
    const auto view = r.View(payloadLen);
    out.payload.assign(view.begin(), view.end());
    return SnapParse::Ok;
}

bool BuildSnapFrame(const std::string& dstMAC, const std::string& srcMAC, int version, std::uint8_t frameType,
                    std::uint16_t label, std::uint8_t status, const std::uint8_t* payload, std::size_t payloadLen,
                    std::vector<std::uint8_t>& frame) {
    if (version != SNAP_VERSION_0 && version != SNAP_VERSION_8) return false;
    const auto dst = ParseMac(dstMAC);
    const auto src = ParseMac(srcMAC);
    if (!dst || !src) return false;
    const std::size_t header = version == SNAP_VERSION_8 ? SNAP_V8_PAYLOAD_OFFSET : SNAP_V0_PAYLOAD_OFFSET;
    if (payloadLen > SNAP_MAX_FRAME - header || (payloadLen > 0 && payload == nullptr)) return false;
    const std::size_t total = header + payloadLen;
    frame.clear();
    frame.reserve(total);
    frame.insert(frame.end(), dst->begin(), dst->end());
    frame.insert(frame.end(), src->begin(), src->end());
    frame.push_back(static_cast<std::uint8_t>((total - 14) >> 8));
    frame.push_back(static_cast<std::uint8_t>((total - 14) & 0xFF));
    frame.insert(frame.end(), SNAP_LLC_HEADER, SNAP_LLC_HEADER + 3);
    frame.insert(frame.end(), SNAP_SNAP_HEADER, SNAP_SNAP_HEADER + 5);
    if (version == SNAP_VERSION_8) {
        frame.push_back(8);
        frame.push_back(0);
    }
    frame.push_back(frameType);
    frame.push_back(static_cast<std::uint8_t>(label & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(label >> 8));
    frame.push_back(status);
    frame.push_back(static_cast<std::uint8_t>(payloadLen & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(payloadLen >> 8));
    if (version == SNAP_VERSION_8) frame.insert(frame.end(), src->begin(), src->end());
    if (payloadLen > 0) frame.insert(frame.end(), payload, payload + payloadLen);
    return true;
}

}  // namespace kvr
