#pragma once
// Hand-made device answers for the device and discovery tests: RID blocks
// of unusual or partial answers no simulated device gives.
#include <cstdint>
#include <string>
#include <vector>

namespace devtest {

// Builds RID blocks of a device's answer.
class Blocks {
public:
    Blocks& Word(std::uint16_t rid, std::uint16_t v) { return Block(rid, {Lo(v), Hi(v)}); }
    Blocks& Long(std::uint16_t rid, std::uint32_t v) {
        return Block(rid, {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                           static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)});
    }
    // Length-prefixed string in a field of `field` bytes (0 = sized to the text).
    Blocks& Str(std::uint16_t rid, const std::string& s, std::size_t field = 0) {
        std::vector<std::uint8_t> v{Lo(static_cast<std::uint16_t>(s.size())), Hi(static_cast<std::uint16_t>(s.size()))};
        v.insert(v.end(), s.begin(), s.end());
        if (field && v.size() < field) v.resize(field, 0);
        if (v.size() % 2) v.push_back(0);
        return Block(rid, v);
    }
    Blocks& Fixed(std::uint16_t rid, const std::string& s) { return Block(rid, {s.begin(), s.end()}); }
    Blocks& Error(std::uint16_t rid, std::uint16_t code) { return Block(0x0600, {Lo(rid), Hi(rid), Lo(code), Hi(code)}); }
    Blocks& Block(std::uint16_t rid, std::vector<std::uint8_t> value) {
        const auto count = static_cast<std::uint16_t>(1 + value.size() / 2);
        bytes.insert(bytes.end(), {Lo(count), Hi(count), Lo(rid), Hi(rid)});
        bytes.insert(bytes.end(), value.begin(), value.end());
        return *this;
    }
    std::vector<std::uint8_t> bytes;

private:
    static std::uint8_t Lo(std::uint16_t v) { return static_cast<std::uint8_t>(v & 0xFF); }
    static std::uint8_t Hi(std::uint16_t v) { return static_cast<std::uint8_t>(v >> 8); }
};

}  // namespace devtest
