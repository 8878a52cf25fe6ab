#pragma once
// One frame received from a device: reads the next SNAP frame, acknowledges it
// when the frame asks for that, checks label and protocol version against the
// current transaction, interprets the response code and decodes the RID blocks
// of the payload. Every read of the payload goes through a bounds-checked
// cursor limited to the payload actually received: a count word or length that
// points past it ends the search with false.
#include <cstdint>
#include <string>
#include <vector>

#include "Rids.h"

class clsSnapResponse {
public:
    static constexpr std::size_t kPayloadSize = SNAP_RESPONSE_BUFFER;

    // The last frame read (overwritten by every ReadSNAP that got a frame).
    std::string srcMAC;           // sender, 12 upper-case hexadecimal digits
    bool downloadMode = false;    // bit 7 of the frame-type byte
    std::int16_t frameType = 0;   // bits 0-2: 0 read, 1 write, 2 response, 3 ACK
    std::int16_t label = 0;
    std::int16_t frameLen = 0;    // payload length field
    std::uint8_t ResponseCode = 0;
    bool bAckSent = false;        // an acknowledgement for a frame was sent
    // Frame kind of the request this object waits for an answer to (0 read,
    // 1 write), set by the transport; -1 when unknown. A response to a write
    // carrying code 0x20 is then the device's refusal of the write.
    std::int16_t RequestFrameType = -1;

    // Reads one frame and processes it: true when it belongs to the current
    // transaction (label and version) and is not a fatal write refusal.
    bool ReadSNAP(std::int32_t hNIC, std::int16_t ProtocolVersion);
    bool ReadResponseFrame(std::int32_t hNIC, std::int16_t ProtocolVersion);
    bool ReadAcknowledgeFrame(std::int32_t hNIC, std::int16_t ProtocolVersion);
    bool IsResponseFrame() const { return frameType == SNAP_KIND_RESPONSE; }
    bool IsAcknowledgeFrame() const { return frameType == SNAP_KIND_ACK; }
    // True when the last ReadSNAP accepted its frame as the current
    // transaction's (the transport accepts a response in place of an ACK only then).
    bool LastFrameAccepted() const { return m_lastAccepted; }
    // True when the last ReadSNAP received a frame at all.
    bool LastReadHadFrame() const { return m_lastHadFrame; }

    bool SendAck(std::int32_t hNIC, const std::string& destMAC, std::int16_t ProtocolVersion);
    bool SendAck_OldTransaction(std::int32_t hNIC, const std::string& destMAC, std::int16_t ProtocolVersion,
                                std::int16_t oldLabel);

    // The fieldNr-th RID block (from 1). fieldValue receives the value's
    // FieldValueLen bytes followed by one 0 byte (FieldValueLen + 1 elements).
    bool GetField(long fieldNr, Rid& rid, std::vector<std::uint8_t>& fieldValue, long& FieldValueLen) const;
    // The first / the seq-th (from 1) block with that RID. On failure fieldValue
    // is one 0 byte and FieldValueLen 0.
    bool GetRIDField(Rid rid, std::vector<std::uint8_t>& fieldValue, long& FieldValueLen) const;
    bool GetRIDFieldEx(Rid rid, std::vector<std::uint8_t>& fieldValue, long& FieldValueLen, long seq) const;
    // The error code of a RID_ERROR_STATUS block that refuses `rid`.
    bool GetRIDerrorCode(Rid rid, long& lngErrorCode) const;

    bool GetRIDFieldAsString(Rid rid, std::string& text) const;
    bool GetRIDFieldAsStringEx(Rid rid, std::string& text, long seq) const;
    bool GetRIDFieldAsStringFixed(Rid rid, std::string& text) const;
    bool GetRIDFieldAsLong(Rid rid, std::int32_t& value) const;
    bool GetRIDFieldAsWord(Rid rid, std::int16_t& value) const;
    bool GetRIDFieldAsBool(Rid rid, bool& value) const;

    // The text of a response code for a frame-type byte (the response-code
    // table). requestType (0 read, 1 write, -1 unknown) lets the bits of read and
    // write frames apply to the response that answers such a request.
    static std::string ResponseCodeText(std::uint8_t code, std::uint8_t frameTypeByte, int requestType = -1);
    // True when the last frame read was this transaction's answer refusing a
    // write (response code 0x20): it is not accepted, and no other answer follows.
    bool LastFrameRefused() const { return m_lastRefused; }

    // Stores a frame as if ReadSNAP had read and accepted it, without any
    // acknowledgement (for decoding fixtures and the fuzz target).
    void LoadFrame(std::uint8_t frameTypeByte, std::int16_t frameLabel, std::uint8_t status,
                   const std::uint8_t* payload, std::size_t payloadLen);
    // The received payload bytes (at most frameLen, at most the buffer).
    std::size_t PayloadBytes() const { return m_payloadBytes; }

private:
    std::uint8_t m_payload[kPayloadSize] = {};
    std::size_t m_payloadBytes = 0;
    std::uint8_t m_lastTypeByte = 0;
    bool m_lastAccepted = false;
    bool m_lastHadFrame = false;
    bool m_lastRefused = false;
    bool m_haveFailedRead = false;
    std::int64_t m_lastFailedReadMs = 0;
};
