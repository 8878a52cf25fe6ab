#include "clsPayload.h"

#include <cmath>

#include "RunTimeError.h"
#include "basDebug.h"

namespace {
const kvr::ModuleLog Log("clsPayload");

// Count word of a fixed-size field of MaxLen bytes: MaxLen/2 + 1, rounded to
// the nearest integer with ties to even.
std::uint16_t FixedFieldCount(long MaxLen) {
    const double c = std::nearbyint(static_cast<double>(MaxLen) / 2.0 + 1.0);
    return static_cast<std::uint16_t>(static_cast<long>(c));
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

namespace kvr {
bool WepKeyBytes(const std::string& key, std::vector<std::uint8_t>& bytes) {
    bytes.clear();
    switch (key.size()) {
        case 5:
        case 13:
            bytes.assign(key.begin(), key.end());
            return true;
        case 10:
        case 26:
            for (std::size_t i = 0; i < key.size(); i += 2) {
                const int hi = HexDigit(key[i]);
                const int lo = HexDigit(key[i + 1]);
                if (hi < 0 || lo < 0) {
                    bytes.clear();
                    return false;
                }
                bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
            }
            return true;
        default:
            return false;
    }
}
}  // namespace kvr

void clsPayload::EnsureRoom(std::size_t n) const {
    if (static_cast<std::size_t>(m_length) + n > kBufferSize) {
        throw RunTimeError(9, "Subscript out of range");
    }
}

void clsPayload::Put(const std::uint8_t* bytes, std::size_t n) {
    EnsureRoom(n);
    for (std::size_t i = 0; i < n; ++i) m_buffer[static_cast<std::size_t>(m_length) + i] = bytes[i];
    m_length = static_cast<std::int16_t>(m_length + static_cast<std::int16_t>(n));
}

void clsPayload::PutU16(std::uint16_t v) {
    const std::uint8_t b[2] = {static_cast<std::uint8_t>(v & 0xFF), static_cast<std::uint8_t>(v >> 8)};
    Put(b, 2);
}

void clsPayload::PutU32(std::uint32_t v) {
    const std::uint8_t b[4] = {static_cast<std::uint8_t>(v & 0xFF), static_cast<std::uint8_t>((v >> 8) & 0xFF),
                               static_cast<std::uint8_t>((v >> 16) & 0xFF),
                               static_cast<std::uint8_t>((v >> 24) & 0xFF)};
    Put(b, 4);
}

std::vector<std::uint8_t> clsPayload::GetPayload() const {
    return std::vector<std::uint8_t>(m_buffer, m_buffer + kBufferSize);
}

void clsPayload::SetPayload(const std::vector<std::uint8_t>& newPayload) {
    ClearPayload();
    AddPayload(newPayload);
}

void clsPayload::AddLenRIDBlock(std::int16_t RecordLen, Rid rid) {
    EnsureRoom(4);
    PutU16(static_cast<std::uint16_t>(RecordLen));
    PutU16(rid);
}

void clsPayload::AddPayload(const std::vector<std::uint8_t>& newPayload) {
    Put(newPayload.data(), newPayload.size());
}

void clsPayload::AddRIDWithArgs(Rid rid, const std::vector<std::uint8_t>& Args) {
    // The value is Args(1..upper bound); the count word covers it so the
    // device does not read the value as further blocks.
    const std::size_t n = Args.size() > 1 ? Args.size() - 1 : 0;
    const std::size_t padded = n + (n % 2);
    EnsureRoom(4 + padded);
    PutU16(static_cast<std::uint16_t>(1 + padded / 2));
    PutU16(rid);
    if (n > 0) Put(Args.data() + 1, n);
    if (padded > n) {
        const std::uint8_t zero = 0;
        Put(&zero, 1);
    }
}

void clsPayload::AddRID(Rid rid) {
    EnsureRoom(4);
    PutU16(1);
    PutU16(rid);
}

void clsPayload::AddRID_orig(Rid rid) { PutU16(rid); }

void clsPayload::AddBool(Rid rid, bool yesNo) {
    EnsureRoom(6);
    PutU16(2);
    PutU16(rid);
    PutU16(yesNo ? 1 : 0);
}

void clsPayload::AddWordNoRid(std::uint16_t word) { PutU16(word); }

void clsPayload::AddWord(Rid rid, std::uint16_t word) {
    EnsureRoom(6);
    PutU16(2);
    PutU16(rid);
    PutU16(word);
}

void clsPayload::AddString(Rid rid, const std::string& text, long MaxLen) {
    if (MaxLen < 2) MaxLen = 2;
    const std::size_t positions = static_cast<std::size_t>(MaxLen - 2);
    EnsureRoom(4 + static_cast<std::size_t>(MaxLen));
    std::size_t n = text.size();
    if (n > positions) {
        // The character count must not claim more than the field holds.
        Log("string exceeds the field of " + std::to_string(positions) + " characters.  " +
                "Truncating...  (original string=\"" + text + "\")",
            kvr::LEVEL_ERROR, "AddString");
        n = positions;
    }
    PutU16(FixedFieldCount(MaxLen));
    PutU16(rid);
    PutU16(static_cast<std::uint16_t>(n));
    for (std::size_t i = 0; i < positions; ++i) {
        const std::uint8_t c = i < n ? static_cast<std::uint8_t>(text[i]) : 0;
        Put(&c, 1);
    }
}

void clsPayload::AddStringVarLen(Rid rid, const std::string& text, long MaxLen) {
    std::string s = text;
    if (MaxLen < 0) MaxLen = 0;
    if (s.size() > static_cast<std::size_t>(MaxLen)) {
        Log("string exceeds maximum length of " + std::to_string(MaxLen) + ".  " +
                "Truncating...  (original string=\"" + text + "\")",
            kvr::LEVEL_ERROR, "AddStringVarLen");
        s.resize(static_cast<std::size_t>(MaxLen));
    }
    const std::size_t n = s.size();
    const std::size_t p = n + (n % 2);
    EnsureRoom(6 + p);
    PutU16(static_cast<std::uint16_t>(p / 2 + 2));
    PutU16(rid);
    PutU16(static_cast<std::uint16_t>(n));
    for (std::size_t i = 0; i < p; ++i) {
        const std::uint8_t c = i < n ? static_cast<std::uint8_t>(s[i]) : 0;
        Put(&c, 1);
    }
}

void clsPayload::AddIPAddr(Rid rid, std::int32_t addr) { AddLong(rid, addr); }

void clsPayload::AddLong(Rid rid, std::int32_t value) {
    EnsureRoom(8);
    PutU16(3);
    PutU16(rid);
    PutU32(static_cast<std::uint32_t>(value));
}

void clsPayload::AddIntNoRID(std::int16_t int1) { PutU16(static_cast<std::uint16_t>(int1)); }

void clsPayload::AddLongNoRID(std::int32_t value) { PutU32(static_cast<std::uint32_t>(value)); }

void clsPayload::AddBin(const std::vector<std::uint8_t>& data) { Put(data.data(), data.size()); }

void clsPayload::AddBinary(Rid rid, const std::vector<std::uint8_t>& data, long MaxLen) {
    if (MaxLen < 2) MaxLen = 2;
    const std::size_t positions = static_cast<std::size_t>(MaxLen - 2);
    EnsureRoom(4 + static_cast<std::size_t>(MaxLen));
    std::size_t c = data.size();
    if (c > positions) {
        Log("data exceeds the field of " + std::to_string(positions) + " bytes.  Truncating...",
            kvr::LEVEL_ERROR, "AddBinary");
        c = positions;
    }
    PutU16(FixedFieldCount(MaxLen));
    PutU16(rid);
    PutU16(static_cast<std::uint16_t>(c));
    for (std::size_t i = 0; i < positions; ++i) {
        const std::uint8_t b = i < c ? data[i] : 0;
        Put(&b, 1);
    }
}

void clsPayload::AddWepKey(const std::string& wepkey, std::int16_t index) {
    std::vector<std::uint8_t> key;
    if (!kvr::WepKeyBytes(wepkey, key)) {
        Log("invalid WEP key (length " + std::to_string(wepkey.size()) + "); sending an empty key.",
            kvr::LEVEL_ERROR, "AddWepKey");
    }
    std::vector<std::uint8_t> slot(16, 0);
    slot[0] = static_cast<std::uint8_t>(key.size() & 0xFF);
    slot[1] = static_cast<std::uint8_t>(key.size() >> 8);
    for (std::size_t i = 0; i < key.size() && i + 2 < slot.size(); ++i) slot[i + 2] = key[i];
    const std::vector<std::uint8_t> zero(16, 0);
    EnsureRoom(68);
    AddWordNoRid(33);
    AddWordNoRid(RID_WEP_KEYS);
    for (int s = 0; s < 4; ++s) AddBin(s == index ? slot : zero);
}
