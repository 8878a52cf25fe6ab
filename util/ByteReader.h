#pragma once
// Checked little-endian cursor over untrusted bytes (received frames, file
// headers, RID blocks). A read that would pass the end fails, leaves the
// position where it was and makes the reader's error sticky; callers read a
// run of fields and test Ok() once. Never cast a buffer to a struct.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace kvr {

class ByteReader {
public:
    ByteReader() = default;
    ByteReader(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(data ? size : 0) {}
    explicit ByteReader(std::span<const std::uint8_t> s) : ByteReader(s.data(), s.size()) {}

    bool Ok() const { return m_ok; }
    std::size_t Pos() const { return m_pos; }
    std::size_t Size() const { return m_size; }
    std::size_t Remaining() const { return m_size - m_pos; }
    bool CanRead(std::size_t n) const { return m_ok && n <= m_size - m_pos; }

    // Moves to an absolute offset; beyond the end fails.
    bool Seek(std::size_t pos) {
        if (!m_ok || pos > m_size) return Fail();
        m_pos = pos;
        return true;
    }
    bool Skip(std::size_t n) {
        if (!CanRead(n)) return Fail();
        m_pos += n;
        return true;
    }
    std::uint8_t U8() {
        if (!CanRead(1)) { Fail(); return 0; }
        return m_data[m_pos++];
    }
    std::uint16_t U16() {  // little-endian
        if (!CanRead(2)) { Fail(); return 0; }
        std::uint16_t v = static_cast<std::uint16_t>(m_data[m_pos] | (m_data[m_pos + 1] << 8));
        m_pos += 2;
        return v;
    }
    std::uint16_t U16BE() {
        if (!CanRead(2)) { Fail(); return 0; }
        std::uint16_t v = static_cast<std::uint16_t>((m_data[m_pos] << 8) | m_data[m_pos + 1]);
        m_pos += 2;
        return v;
    }
    std::uint32_t U32() {  // little-endian
        if (!CanRead(4)) { Fail(); return 0; }
        std::uint32_t v = static_cast<std::uint32_t>(m_data[m_pos]) |
                          (static_cast<std::uint32_t>(m_data[m_pos + 1]) << 8) |
                          (static_cast<std::uint32_t>(m_data[m_pos + 2]) << 16) |
                          (static_cast<std::uint32_t>(m_data[m_pos + 3]) << 24);
        m_pos += 4;
        return v;
    }
    // Copies n bytes out; on failure copies nothing.
    bool Bytes(std::uint8_t* out, std::size_t n) {
        if (!CanRead(n)) return Fail();
        for (std::size_t i = 0; i < n; ++i) out[i] = m_data[m_pos + i];
        m_pos += n;
        return true;
    }
    // n bytes as a Latin-1 text (one character per byte).
    std::string Text(std::size_t n) {
        if (!CanRead(n)) { Fail(); return {}; }
        std::string s(reinterpret_cast<const char*>(m_data + m_pos), n);
        m_pos += n;
        return s;
    }
    // A view of n bytes at the position, advancing past them.
    std::span<const std::uint8_t> View(std::size_t n) {
        if (!CanRead(n)) { Fail(); return {}; }
        std::span<const std::uint8_t> v(m_data + m_pos, n);
        m_pos += n;
        return v;
    }

private:
    bool Fail() { m_ok = false; return false; }
    const std::uint8_t* m_data = nullptr;
    std::size_t m_size = 0;
    std::size_t m_pos = 0;
    bool m_ok = true;
};

}  // namespace kvr
