#pragma once
// Host-side frames for the simulator tests, built byte by byte here rather
// than with the simulator's own codec, so a codec mistake cannot hide itself.
#include <cstdint>
#include <string>
#include <vector>

#include "RidBlocks.h"
#include "util/ByteReader.h"
#include "sim/Simulator.h"

namespace simtest {

using Bytes = std::vector<std::uint8_t>;
using kvr::sim::Mac;

inline const Mac kHost{0x02, 0x00, 0x00, 0x00, 0x00, 0x10};
inline const Mac kGroup{0x01, 0x07, 0xF5, 0x00, 0x01, 0x00};

using Payload = kvr::test::RidBlocks;

// A host frame: version 0 or 8, frame-type byte, label, payload.
inline Bytes HostFrame(const Mac& dst, int version, std::uint8_t type, std::uint16_t label, const Bytes& payload,
                       const Mac& src = kHost) {
    Bytes f(dst.begin(), dst.end());
    f.insert(f.end(), src.begin(), src.end());
    std::size_t total = (version == 8 ? 8 : 6) + 22 + payload.size() + (version == 8 ? 6 : 0);
    f.push_back(static_cast<std::uint8_t>((total - 14) >> 8));
    f.push_back(static_cast<std::uint8_t>((total - 14) & 0xFF));
    f.insert(f.end(), {0xAA, 0xAA, 0x03, 0x00, 0x07, 0xF5, 0x00, 0x00});
    if (version == 8) f.insert(f.end(), {0x08, 0x00});
    f.push_back(type);
    f.push_back(static_cast<std::uint8_t>(label & 0xFF));
    f.push_back(static_cast<std::uint8_t>(label >> 8));
    f.push_back(0);
    f.push_back(static_cast<std::uint8_t>(payload.size() & 0xFF));
    f.push_back(static_cast<std::uint8_t>(payload.size() >> 8));
    if (version == 8) f.insert(f.end(), src.begin(), src.end());
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

// The discovery request as the host sends it: 15 queries, then the
// authorization block with one identifier.
inline Bytes DiscoveryPayload(std::uint32_t authorization = 1) {
    Payload p;
    for (std::uint16_t rid : {0x0010, 0x0001, 0xFD43, 0xFC0E, 0x000A, 0x0020, 0x0023, 0x0028, 0x0027, 0x0022,
                              0x0025, 0x0026, 0x0047, 0x0042, 0x0011})
        p.Query(rid);
    p.Word(3).Word(0x05DD).Long(authorization);
    return p.bytes;
}

// A device frame as the host reads it.
struct Seen {
    bool ok = false;
    Mac dst{}, ethSrc{}, sender{};
    int version = 0;
    std::uint8_t type = 0;
    std::uint16_t label = 0;
    std::uint8_t status = 0;
    Bytes payload;
    std::uint8_t Kind() const { return type & 7; }
    bool DownloadBit() const { return (type & 0x80) != 0; }
};

inline Seen Read(const Bytes& f) {
    Seen s;
    kvr::ByteReader r(f);
    r.Bytes(s.dst.data(), 6);
    r.Bytes(s.ethSrc.data(), 6);
    std::uint16_t len = r.U16BE();
    r.Skip(8);
    std::uint16_t v = r.U16();
    if (v == 8) s.version = 8; else { s.version = 0; r.Seek(22); }
    s.type = r.U8();
    s.label = r.U16();
    s.status = r.U8();
    std::uint16_t n = r.U16();
    if (s.version == 8) r.Bytes(s.sender.data(), 6); else s.sender = s.ethSrc;
    auto view = r.View(n);
    s.payload.assign(view.begin(), view.end());
    s.ok = r.Ok() && len == f.size() - 14;
    return s;
}

// The value bytes of the seq-th (from 1) block with this RID; empty optional when absent.
struct Field {
    bool found = false;
    Bytes value;
};
inline Field FindRid(const Bytes& payload, std::uint16_t rid, int seq = 1) {
    kvr::ByteReader r(payload);
    while (r.Remaining() >= 4) {
        std::uint16_t count = r.U16();
        std::uint16_t id = r.U16();
        if (!r.Ok() || count == 0) break;
        auto v = r.View(2u * (count - 1u));
        if (!r.Ok()) break;
        if (id == rid && --seq == 0) return Field{true, Bytes(v.begin(), v.end())};
    }
    return {};
}
inline std::uint32_t LeValue(const Bytes& v) {
    std::uint32_t x = 0;
    for (std::size_t i = v.size(); i-- > 0;) x = (x << 8) | v[i];
    return x;
}
inline std::string CountedText(const Bytes& v) {
    if (v.size() < 2) return "<short>";
    std::size_t n = v[0] | (v[1] << 8);
    if (n + 2 > v.size()) return "<overlong>";
    return std::string(v.begin() + 2, v.begin() + 2 + static_cast<long>(n));
}
// The error code of a refused RID, or -1.
inline int ErrorCode(const Bytes& payload, std::uint16_t rid) {
    for (int seq = 1;; ++seq) {
        Field f = FindRid(payload, 0x0600, seq);
        if (!f.found || f.value.size() != 4) return -1;
        if ((f.value[0] | (f.value[1] << 8)) == rid) return f.value[2] | (f.value[3] << 8);
    }
}

}  // namespace simtest
