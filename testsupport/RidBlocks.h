#pragma once
// RID blocks built byte by byte (count of words including the RID, RID,
// value), for requests and answers no device or codec of ours would make:
// hand-made device answers, unusual or partial, and host requests to the
// simulator built without its own codec, so a codec mistake cannot hide
// itself. Word(v) and Long(v) append bare words, for blocks that are broken.
#include <cstdint>
#include <string>
#include <vector>

namespace kvr::test {

class RidBlocks {
public:
    RidBlocks& Word(std::uint16_t rid, std::uint16_t v) { return Block(rid, {Lo(v), Hi(v)}); }
    RidBlocks& Long(std::uint16_t rid, std::uint32_t v) {
        return Block(rid, {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                           static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)});
    }
    // Length-prefixed string in a field of `field` bytes (0 = sized to the text).
    RidBlocks& Str(std::uint16_t rid, const std::string& s, std::size_t field = 0) {
        std::vector<std::uint8_t> v{Lo(static_cast<std::uint16_t>(s.size())), Hi(static_cast<std::uint16_t>(s.size()))};
        v.insert(v.end(), s.begin(), s.end());
        if (field && v.size() < field) v.resize(field, 0);
        if (v.size() % 2) v.push_back(0);
        return Block(rid, v);
    }
    RidBlocks& Fixed(std::uint16_t rid, const std::string& s) { return Block(rid, {s.begin(), s.end()}); }
    RidBlocks& Error(std::uint16_t rid, std::uint16_t code) { return Block(0x0600, {Lo(rid), Hi(rid), Lo(code), Hi(code)}); }
    // A block without a value: how a request asks for a RID.
    RidBlocks& Query(std::uint16_t rid) { return Block(rid, {}); }
    RidBlocks& Block(std::uint16_t rid, std::vector<std::uint8_t> value) {
        const auto count = static_cast<std::uint16_t>(1 + value.size() / 2);
        bytes.insert(bytes.end(), {Lo(count), Hi(count), Lo(rid), Hi(rid)});
        bytes.insert(bytes.end(), value.begin(), value.end());
        return *this;
    }
    RidBlocks& Word(std::uint16_t v) {
        bytes.insert(bytes.end(), {Lo(v), Hi(v)});
        return *this;
    }
    RidBlocks& Long(std::uint32_t v) { return Word(static_cast<std::uint16_t>(v & 0xFFFF)).Word(static_cast<std::uint16_t>(v >> 16)); }
    std::vector<std::uint8_t> bytes;

private:
    static std::uint8_t Lo(std::uint16_t v) { return static_cast<std::uint8_t>(v & 0xFF); }
    static std::uint8_t Hi(std::uint16_t v) { return static_cast<std::uint8_t>(v >> 8); }
};

}  // namespace kvr::test
