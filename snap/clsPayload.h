#pragma once
// One request payload under construction: a sequence of RID blocks (count
// word, RID, value; all little-endian) in a 1464-byte buffer. Every encoder
// writes at the current length and advances it.
//
// Room: an encoder whose bytes would not fit into the buffer writes nothing
// and throws RunTimeError 9 ("Subscript out of range"); the caller's
// procedure traps it like any run-time error. Requests of the program stay far
// below the limit (the largest, a firmware chunk, is 1452 bytes).
#include <cstdint>
#include <string>
#include <vector>

#include "Rids.h"

class clsPayload {
public:
    static constexpr std::size_t kBufferSize = SNAP_PAYLOAD_BUFFER;

    // The protocol version the payload is meant for; stored only.
    std::int16_t mProtocolVersion = -1;

    std::int16_t GetLength() const { return m_length; }
    // A copy of the whole 1464-byte buffer; callers send GetLength() bytes of it.
    std::vector<std::uint8_t> GetPayload() const;
    void SetPayload(const std::vector<std::uint8_t>& newPayload);
    // A block header (count word, RID) whose value the caller appends with the
    // NoRID encoders.
    void AddLenRIDBlock(std::int16_t RecordLen, Rid rid);
    void AddPayload(const std::vector<std::uint8_t>& newPayload);
    void ClearPayload() { m_length = 0; }
    // A block of the RID with Args' elements from index 1 on as its value
    // (element 0 is not sent); an odd byte count is padded with one 0 byte.
    void AddRIDWithArgs(Rid rid, const std::vector<std::uint8_t>& Args);
    void AddRID(Rid rid);        // one query block: 01 00, RID
    void AddRID_orig(Rid rid);   // the RID only
    void AddBool(Rid rid, bool yesNo);
    void AddWordNoRid(std::uint16_t word);
    void AddWord(Rid rid, std::uint16_t word);
    // Fixed-size string field: count word, RID, character count, MaxLen - 2
    // character positions. A longer text is cut to MaxLen - 2 with an ERROR line.
    void AddString(Rid rid, const std::string& text, long MaxLen);
    // String field sized to the text (padded to an even length); a text longer
    // than MaxLen is cut with an ERROR line.
    void AddStringVarLen(Rid rid, const std::string& text, long MaxLen);
    void AddIPAddr(Rid rid, std::int32_t addr);
    void AddLong(Rid rid, std::int32_t value);
    void AddIntNoRID(std::int16_t int1);
    void AddLongNoRID(std::int32_t value);
    void AddBin(const std::vector<std::uint8_t>& data);
    // Fixed-size binary field laid out like AddString: byte count, MaxLen - 2
    // data positions. Data beyond the field is cut with an ERROR line.
    void AddBinary(Rid rid, const std::vector<std::uint8_t>& data, long MaxLen);
    // RID_WEP_KEYS: four 16-byte key slots, the key in slot `index` (0-3), the
    // others zero. A key that is not one of the four WEP key forms leaves an
    // empty slot and logs an ERROR line.
    void AddWepKey(const std::string& wepkey, std::int16_t index);

private:
    void Put(const std::uint8_t* bytes, std::size_t n);
    void PutU16(std::uint16_t v);
    void PutU32(std::uint32_t v);
    void EnsureRoom(std::size_t n) const;

    std::uint8_t m_buffer[kBufferSize] = {};
    std::int16_t m_length = 0;
};

namespace kvr {
// The WEP key forms: 5 or 13 characters as text, 10 or 26 hexadecimal digits
// as 5 or 13 bytes. False (and no bytes) for any other length or a digit pair
// that is not hexadecimal.
bool WepKeyBytes(const std::string& key, std::vector<std::uint8_t>& bytes);
}  // namespace kvr
