#include "clsSnapResponse.h"

#include <algorithm>
#include <span>

#include "ByteReader.h"
#include "Globals.h"
#include "HexText.h"
#include "Seams.h"
#include "SnapCommon.h"
#include "SnapLink.h"
#include "modSNAP.h"

namespace {
const kvr::ModuleLog Log("clsSnapResponse");
using kvr::HexUpper;

// Visits blocks 1, 2, ... exactly as GetField would return them, in one pass,
// until GetField would fail or `visit` returns true (then the result is true).
template <class Visit>
bool WalkBlocks(const std::uint8_t* payload, std::size_t stored, std::int16_t frameLen, Visit visit) {
    kvr::ByteReader r(payload, std::min<std::size_t>(stored, static_cast<std::size_t>(std::max<int>(frameLen, 0))));
    std::size_t offset = 0;
    for (long n = 1; static_cast<double>(n) <= static_cast<double>(frameLen) / 3.0; ++n) {
        if (!r.Seek(offset)) return false;
        const std::uint16_t count = r.U16();
        if (!r.Ok() || count < 2) return false;
        const std::uint16_t rid = r.U16();
        const auto value = r.View(2 * (static_cast<std::size_t>(count) - 1));
        if (!r.Ok()) return false;
        if (visit(rid, value)) return true;
        offset += 2 + 2 * static_cast<std::size_t>(count);
    }
    return false;
}
}  // namespace

namespace {
// Whether the bits that count only for read (0) or write (1) frames apply: to
// such a frame itself, or to the response answering such a request.
bool AppliesTo(int kind, std::uint8_t frameTypeByte, int requestType) {
    return frameTypeByte == kind ||
           ((frameTypeByte & SNAP_KIND_MASK) == SNAP_KIND_RESPONSE && requestType == kind);
}
}  // namespace

std::string clsSnapResponse::ResponseCodeText(std::uint8_t code, std::uint8_t frameTypeByte, int requestType) {
    // Tested in the order of the table, each overwriting the text: the highest
    // listed bit wins.
    std::string text = "Unknown response code for frame type " + std::to_string(frameTypeByte);
    if (code & SNAP_RC_UNSPECIFIED) text = "unspecified error; the ResponseCode is invalid";
    if (code & SNAP_RC_RETRIEVE_FAILED) text = "failure to retrieve some information; the ResponseCode is invalid";
    if (code & SNAP_RC_RETRIEVE_FAILED_NOT_IN_CODE)
        text = "failure to retrieve some information, unavailable info is not contained in ResponseCode";
    if (code & SNAP_RC_RID_UNAVAILABLE)
        text = "a given RID is not available or implemented, in read responses: unavailable info is not "
               "contained in ResponseCode";
    if ((code & SNAP_RC_TRUNCATED) && AppliesTo(0, frameTypeByte, requestType))
        text = "the amount of requested information did not fit into the maximum frame length.  Information at "
               "the end of the frame was stripped.";
    if ((code & SNAP_RC_WRITE_IGNORED) && AppliesTo(1, frameTypeByte, requestType))
        text = "the complete write frame has been ignored because of (frame format) errors.";
    return text;
}

void clsSnapResponse::LoadFrame(std::uint8_t frameTypeByte, std::int16_t frameLabel, std::uint8_t status,
                                const std::uint8_t* payload, std::size_t payloadLen) {
    m_lastTypeByte = frameTypeByte;
    frameType = static_cast<std::int16_t>(frameTypeByte & SNAP_KIND_MASK);
    downloadMode = (frameTypeByte & SNAP_FLAG_DOWNLOAD_MODE) != 0;
    label = frameLabel;
    ResponseCode = status;
    frameLen = static_cast<std::int16_t>(std::min<std::size_t>(payloadLen, 0x7FFF));
    m_payloadBytes = payload ? std::min(payloadLen, kPayloadSize) : 0;
    std::fill(std::begin(m_payload), std::end(m_payload), std::uint8_t{0});
    if (m_payloadBytes) std::copy(payload, payload + m_payloadBytes, m_payload);
}

bool clsSnapResponse::SendAck(std::int32_t hNIC, const std::string& destMAC, std::int16_t ProtocolVersion) {
    std::vector<std::uint8_t> empty;
    return kvr::CurrentSnapLink().Write(hNIC, destMAC, ProtocolVersion, SNAP_KIND_ACK, CurrentLabel(), 0, 0,
                                        G().ModifiedSnap, empty);
}

bool clsSnapResponse::SendAck_OldTransaction(std::int32_t hNIC, const std::string& destMAC,
                                             std::int16_t ProtocolVersion, std::int16_t oldLabel) {
    Log("Sending ACK packet for old transaction (label=0x" + HexUpper(static_cast<std::uint16_t>(oldLabel)) + ", current=0x" +
            HexUpper(static_cast<std::uint16_t>(CurrentLabel())) + ")",
        kvr::LEVEL_WARNING);
    std::vector<std::uint8_t> empty;
    return kvr::CurrentSnapLink().Write(hNIC, destMAC, ProtocolVersion, SNAP_KIND_ACK, oldLabel, 0, 0,
                                        G().ModifiedSnap, empty);
}

bool clsSnapResponse::ReadSNAP(std::int32_t hNIC, std::int16_t ProtocolVersion) {
    try {
        m_lastAccepted = false;
        m_lastHadFrame = false;
        m_lastRefused = false;
        kvr::SnapFrame f;
        if (!kvr::CurrentSnapLink().Read(hNIC, f)) {
            // Trace a failed read at most once a second.
            const std::int64_t now = kvr::CurrentClock().NowMs();
            if (!m_haveFailedRead || now - m_lastFailedReadMs > 1000) {
                Log("ReadSNAP: ReadNDIS failed (hNIC=" + std::to_string(hNIC) + ", protocol=" +
                        std::to_string(ProtocolVersion) + ", typ=" + std::to_string(m_lastTypeByte) +
                        ", MAC=" + srcMAC + ")",
                    kvr::LEVEL_TRACE);
            }
            m_haveFailedRead = true;
            m_lastFailedReadMs = now;
            return false;
        }

        // Every frame read replaces the public variables, whether or not it
        // belongs to the transaction.
        m_lastHadFrame = true;
        srcMAC = kvr::MacText(f.sender);
        LoadFrame(f.frameType, f.label, f.status, f.payload.data(), f.payload.size());

        const bool versionOk = f.version == ProtocolVersion;
        const bool labelOk = f.label == CurrentLabel();
        if ((f.frameType & SNAP_KIND_MASK) != SNAP_KIND_ACK && versionOk) {
            const bool sent = labelOk ? SendAck(hNIC, srcMAC, ProtocolVersion)
                                      : SendAck_OldTransaction(hNIC, srcMAC, ProtocolVersion, f.label);
            if (!sent) {
                Log("ReadSNAP: SendAck returned failure response!", kvr::LEVEL_ERROR);
            } else {
                bAckSent = true;
            }
        }

        if (labelOk && versionOk) {
            bool result = true;
            if (ResponseCode != 0) {
                const std::string msg = "ReadSNAP: ResponseCode error 0x" + HexUpper(static_cast<std::uint32_t>(ResponseCode)) + ": " +
                                        ResponseCodeText(ResponseCode, f.frameType, RequestFrameType) +
                                        " (src mac='" + srcMAC +
                                        "', downloadmode=" + kvr::BoolText(downloadMode) + ")";
                if ((ResponseCode & SNAP_RC_WRITE_IGNORED) && AppliesTo(1, f.frameType, RequestFrameType)) {
                    m_lastRefused = true;
                    Log(msg, kvr::LEVEL_ERROR);
                    Log("ReadSNAP: the received packet will not be processed.", kvr::LEVEL_ERROR);
                    result = false;
                } else {
                    Log(msg, kvr::LEVEL_WARNING);
                }
            }
            m_lastAccepted = result;
            return result;
        }
        if (!labelOk) {
            Log("ReadSNAP: label 0x" + HexUpper(static_cast<std::uint16_t>(f.label)) + " was returned from the target.  0x" +
                    HexUpper(static_cast<std::uint16_t>(CurrentLabel())) + " expected.",
                kvr::LEVEL_WARNING);
        }
        if (!versionOk) {
            Log("ReadSNAP: protocol version 0x" + HexUpper(static_cast<std::uint16_t>(f.version)) + " was returned from the target.  0x" +
                    HexUpper(static_cast<std::uint16_t>(ProtocolVersion)) + " expected.",
                kvr::LEVEL_WARNING);
        }
        return false;
    } catch (...) {
        kvr::snapdetail::LogTrapped(Log, "ReadSNAP");
        m_lastAccepted = false;
        return false;
    }
}

bool clsSnapResponse::ReadResponseFrame(std::int32_t hNIC, std::int16_t ProtocolVersion) {
    if (!ReadSNAP(hNIC, ProtocolVersion)) {
        Log("ReadResponseFrame: ReadSNAP returned an error trying to read device " + srcMAC, kvr::LEVEL_DETAIL);
        return false;
    }
    return IsResponseFrame();
}

bool clsSnapResponse::ReadAcknowledgeFrame(std::int32_t hNIC, std::int16_t ProtocolVersion) {
    if (!ReadSNAP(hNIC, ProtocolVersion)) {
        Log("ReadAcknowledgeFrame: ReadSNAP returned an error trying to read device " + srcMAC, kvr::LEVEL_DETAIL);
        return false;
    }
    return IsAcknowledgeFrame();
}

bool clsSnapResponse::GetField(long fieldNr, Rid& rid, std::vector<std::uint8_t>& fieldValue,
                               long& FieldValueLen) const {
    // A block takes at least 4 bytes: no need to walk for more than frameLen/3.
    if (fieldNr < 1 || static_cast<double>(fieldNr) > static_cast<double>(frameLen) / 3.0) return false;
    kvr::ByteReader r(m_payload, std::min<std::size_t>(m_payloadBytes, static_cast<std::size_t>(std::max<int>(frameLen, 0))));
    std::size_t offset = 0;
    std::uint16_t count = r.U16();
    for (long block = 1; block < fieldNr; ++block) {
        offset += 2 + 2 * static_cast<std::size_t>(count);
        if (!r.Seek(offset)) return false;
        count = r.U16();
    }
    if (!r.Ok() || count < 2) return false;
    const std::uint16_t blockRid = r.U16();
    const std::size_t len = 2 * (static_cast<std::size_t>(count) - 1);
    const auto value = r.View(len);
    if (!r.Ok()) return false;
    rid = blockRid;
    fieldValue.assign(value.begin(), value.end());
    fieldValue.push_back(0);
    FieldValueLen = static_cast<long>(len);
    return true;
}

bool clsSnapResponse::GetRIDField(Rid rid, std::vector<std::uint8_t>& fieldValue, long& FieldValueLen) const {
    return GetRIDFieldEx(rid, fieldValue, FieldValueLen, 1);
}

bool clsSnapResponse::GetRIDFieldEx(Rid rid, std::vector<std::uint8_t>& fieldValue, long& FieldValueLen,
                                    long seq) const {
    long found = 0;
    if (seq >= 1 && WalkBlocks(m_payload, m_payloadBytes, frameLen,
                               [&](Rid blockRid, std::span<const std::uint8_t> value) {
                                   if (blockRid != rid || ++found != seq) return false;
                                   fieldValue.assign(value.begin(), value.end());
                                   fieldValue.push_back(0);
                                   FieldValueLen = static_cast<long>(value.size());
                                   return true;
                               })) {
        return true;
    }
    fieldValue.assign(1, 0);
    FieldValueLen = 0;
    return false;
}

bool clsSnapResponse::GetRIDerrorCode(Rid rid, long& lngErrorCode) const {
    std::vector<std::uint8_t> v;
    long len = 0;
    for (long seq = 1; GetRIDFieldEx(RID_ERROR_STATUS, v, len, seq); ++seq) {
        if (len != 4) return false;
        kvr::ByteReader r(v.data(), 4);
        const std::uint16_t refused = r.U16();
        const std::uint16_t code = r.U16();
        if (refused == rid) {
            lngErrorCode = code;
            return true;
        }
    }
    return false;
}

bool clsSnapResponse::GetRIDFieldAsWord(Rid rid, std::int16_t& value) const {
    value = -1;
    std::vector<std::uint8_t> v;
    long len = 0;
    if (!GetRIDField(rid, v, len) || len != 2) return false;
    kvr::ByteReader r(v.data(), 2);
    value = static_cast<std::int16_t>(r.U16());
    return true;
}

bool clsSnapResponse::GetRIDFieldAsLong(Rid rid, std::int32_t& value) const {
    value = -1;
    std::vector<std::uint8_t> v;
    long len = 0;
    if (!GetRIDField(rid, v, len) || len != 4) return false;
    kvr::ByteReader r(v.data(), 4);
    value = static_cast<std::int32_t>(r.U32());
    return true;
}

bool clsSnapResponse::GetRIDFieldAsBool(Rid rid, bool& value) const {
    std::int16_t w = 0;
    if (!GetRIDFieldAsWord(rid, w)) return false;
    value = w != 0;
    return true;
}

bool clsSnapResponse::GetRIDFieldAsString(Rid rid, std::string& text) const {
    text.clear();
    std::vector<std::uint8_t> v;
    long len = 0;
    if (!GetRIDField(rid, v, len)) return false;
    kvr::ByteReader r(v.data(), static_cast<std::size_t>(len));
    const std::uint16_t n = r.U16();
    if (!r.Ok() || static_cast<long>(n) > len - 2) return false;
    text = r.Text(n);
    return r.Ok();
}

bool clsSnapResponse::GetRIDFieldAsStringEx(Rid rid, std::string& text, long seq) const {
    text.clear();
    std::vector<std::uint8_t> v;
    long len = 0;
    if (!GetRIDFieldEx(rid, v, len, seq)) return false;
    kvr::ByteReader r(v.data(), static_cast<std::size_t>(len));
    long n = r.U16();
    if (!r.Ok()) return false;
    if (n > len) n = len;
    if (n > len - 2) {
        // The count claims more characters than the field holds: take what is there.
        Log("GetRIDFieldAsStringEx: length indication is beyond the end of the array returned from GetRIDFieldEx",
            kvr::LEVEL_ERROR);
        n = len - 2;
    }
    text = r.Text(static_cast<std::size_t>(n));
    return true;
}

bool clsSnapResponse::GetRIDFieldAsStringFixed(Rid rid, std::string& text) const {
    text.clear();
    std::vector<std::uint8_t> v;
    long len = 0;
    if (!GetRIDField(rid, v, len)) return false;
    text.assign(reinterpret_cast<const char*>(v.data()), static_cast<std::size_t>(len));
    return true;
}
