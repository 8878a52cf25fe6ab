#include "sim/SimFrame.h"

#include <cctype>
#include <cstdio>

#include "util/ByteReader.h"

namespace kvr::sim {

namespace {

constexpr std::uint8_t kLlc[3] = {0xAA, 0xAA, 0x03};
constexpr std::uint8_t kSnap[5] = {0x00, 0x07, 0xF5, 0x00, 0x00};

void PutU16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v & 0xFF));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>((v >> (8 * i)) & 0xFF));
}

const char* KindName(std::uint8_t kind) {
    switch (kind) {
        case 0: return "READ";
        case 1: return "WRITE";
        case 2: return "RESP";
        case 3: return "ACK";
        case 4: return "DATA";
        default: return "KIND?";
    }
}

}  // namespace

std::optional<Ipv4> ParseIpv4(const std::string& text) {
    Ipv4 ip{};
    std::size_t part = 0;
    int value = -1;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        char c = i < text.size() ? text[i] : '.';
        if (c >= '0' && c <= '9') {
            value = (value < 0 ? 0 : value) * 10 + (c - '0');
            if (value > 255) return std::nullopt;
        } else if (c == '.') {
            if (value < 0 || part >= 4) return std::nullopt;
            ip[part++] = static_cast<std::uint8_t>(value);
            value = -1;
        } else {
            return std::nullopt;
        }
    }
    if (part != 4) return std::nullopt;
    return ip;
}

std::string Ipv4Text(const Ipv4& ip) {
    return std::to_string(ip[0]) + "." + std::to_string(ip[1]) + "." + std::to_string(ip[2]) + "." +
           std::to_string(ip[3]);
}

std::optional<SnapFrame> ParseSnapFrame(std::span<const std::uint8_t> bytes) {
    ByteReader r(bytes);
    SnapFrame f;
    if (!r.Bytes(f.dst.data(), 6) || !r.Bytes(f.src.data(), 6)) return std::nullopt;
    std::uint16_t lengthField = r.U16BE();
    if (!r.Ok() || lengthField > 1500) return std::nullopt;  // an EtherType, not an 802.3 length
    std::uint8_t llc[3], snap[5];
    if (!r.Bytes(llc, 3) || !r.Bytes(snap, 5)) return std::nullopt;
    if (llc[0] == 0xAB) llc[0] = 0xAA;
    for (int i = 0; i < 3; ++i)
        if (llc[i] != kLlc[i]) return std::nullopt;
    for (int i = 0; i < 5; ++i)
        if (snap[i] != kSnap[i]) return std::nullopt;
    std::size_t headerStart = r.Pos();
    std::uint16_t versionWord = r.U16();
    if (!r.Ok()) return std::nullopt;
    if (versionWord == 8) {
        f.version = 8;
    } else {
        f.version = 0;
        r.Seek(headerStart);
    }
    f.typeByte = r.U8();
    f.label = r.U16();
    f.status = r.U8();
    std::uint16_t payloadLen = r.U16();
    if (f.version == 8) r.Bytes(f.headerSrc.data(), 6);
    if (!r.Ok()) return std::nullopt;
    auto payload = r.View(payloadLen);
    if (!r.Ok()) return std::nullopt;
    f.payload.assign(payload.begin(), payload.end());
    return f;
}

std::vector<std::uint8_t> BuildSnapFrame(const SnapFrame& f) {
    std::vector<std::uint8_t> out;
    out.reserve(36 + f.payload.size());
    out.insert(out.end(), f.dst.begin(), f.dst.end());
    out.insert(out.end(), f.src.begin(), f.src.end());
    std::size_t headerLen = f.version == 8 ? 8 : 6;
    std::size_t total = headerLen + 22 + f.payload.size() + (f.version == 8 ? 6 : 0);
    std::size_t lengthField = total - 14;
    out.push_back(static_cast<std::uint8_t>(lengthField >> 8));
    out.push_back(static_cast<std::uint8_t>(lengthField & 0xFF));
    out.insert(out.end(), std::begin(kLlc), std::end(kLlc));
    out.insert(out.end(), std::begin(kSnap), std::end(kSnap));
    if (f.version == 8) PutU16(out, 8);
    out.push_back(f.typeByte);
    PutU16(out, f.label);
    out.push_back(f.status);
    PutU16(out, static_cast<std::uint16_t>(f.payload.size()));
    if (f.version == 8) out.insert(out.end(), f.headerSrc.begin(), f.headerSrc.end());
    out.insert(out.end(), f.payload.begin(), f.payload.end());
    return out;
}

bool SplitRidBlocks(std::span<const std::uint8_t> payload, std::vector<RidBlock>& blocks) {
    blocks.clear();
    ByteReader r(payload);
    while (r.Remaining() > 0) {
        RidBlock b;
        b.count = r.U16();
        if (!r.Ok() || b.count == 0) return false;
        b.rid = r.U16();
        auto value = r.View(2 * static_cast<std::size_t>(b.count - 1));
        if (!r.Ok()) return false;
        b.value.assign(value.begin(), value.end());
        blocks.push_back(std::move(b));
    }
    return true;
}

void PutWordBlock(std::vector<std::uint8_t>& out, std::uint16_t rid, std::uint16_t value) {
    PutU16(out, 2);
    PutU16(out, rid);
    PutU16(out, value);
}

void PutLongBlock(std::vector<std::uint8_t>& out, std::uint16_t rid, std::uint32_t value) {
    PutU16(out, 3);
    PutU16(out, rid);
    PutU32(out, value);
}

void PutIpBlock(std::vector<std::uint8_t>& out, std::uint16_t rid, const Ipv4& ip) {
    PutU16(out, 3);
    PutU16(out, rid);
    out.insert(out.end(), ip.begin(), ip.end());
}

void PutFixedStringBlock(std::vector<std::uint8_t>& out, std::uint16_t rid, const std::string& text,
                         std::size_t fieldBytes) {
    if (fieldBytes < 2) fieldBytes = 2;
    if (fieldBytes % 2) ++fieldBytes;
    std::size_t room = fieldBytes - 2;
    std::size_t n = text.size() < room ? text.size() : room;
    PutU16(out, static_cast<std::uint16_t>(fieldBytes / 2 + 1));
    PutU16(out, rid);
    PutU16(out, static_cast<std::uint16_t>(n));
    for (std::size_t i = 0; i < room; ++i)
        out.push_back(i < n ? static_cast<std::uint8_t>(text[i]) : 0);
}

void PutVarStringBlock(std::vector<std::uint8_t>& out, std::uint16_t rid, const std::string& text) {
    std::size_t n = text.size();
    std::size_t padded = n + (n % 2);
    PutU16(out, static_cast<std::uint16_t>(padded / 2 + 2));
    PutU16(out, rid);
    PutU16(out, static_cast<std::uint16_t>(n));
    for (std::size_t i = 0; i < padded; ++i) out.push_back(i < n ? static_cast<std::uint8_t>(text[i]) : 0);
}

void PutRawBlock(std::vector<std::uint8_t>& out, std::uint16_t rid, std::span<const std::uint8_t> value) {
    std::size_t padded = value.size() + (value.size() % 2);
    PutU16(out, static_cast<std::uint16_t>(padded / 2 + 1));
    PutU16(out, rid);
    out.insert(out.end(), value.begin(), value.end());
    if (padded != value.size()) out.push_back(0);
}

void PutErrorBlock(std::vector<std::uint8_t>& out, std::uint16_t refusedRid, std::uint16_t code) {
    PutU16(out, 3);
    PutU16(out, 0x0600);
    PutU16(out, refusedRid);
    PutU16(out, code);
}

std::string DescribeFrame(const SnapFrame& f) {
    char buf[160];
    std::snprintf(buf, sizeof buf, "v%d %s%s label=0x%X status=0x%X %s -> %s len=%zu", f.version,
                  KindName(f.Kind()), (f.typeByte & 0x80) ? "+DL" : "", f.label, f.status,
                  MacText(f.Sender()).c_str(), MacText(f.dst).c_str(), f.payload.size());
    return buf;
}

}  // namespace kvr::sim
