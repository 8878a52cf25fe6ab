#include "QfwHeader.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sys/stat.h>
#include <vector>

#include "ByteReader.h"

namespace kvr {

namespace {

template <std::size_t N>
void ReadArray(ByteReader& r, std::array<std::uint8_t, N>& a) {
    r.Bytes(a.data(), N);
}

std::int32_t LeInt32(const std::array<std::uint8_t, 4>& b) {
    std::uint32_t v = static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
                      (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
    return static_cast<std::int32_t>(v);
}

void ReadSection(ByteReader& r, QfwSection& s) {
    s.Offset = static_cast<std::int32_t>(r.U32());
    ReadArray(r, s.TargetInfo);
    s.Length = static_cast<std::int32_t>(r.U32());
    s.Crc = r.U32();
}

template <std::size_t N>
std::string AsText(const std::array<std::uint8_t, N>& a) {
    return std::string(reinterpret_cast<const char*>(a.data()), N);
}

}  // namespace

bool QfwSection::FitsIn(std::int64_t fileSize) const {
    if (Offset < 0 || Length < 0) return false;
    return static_cast<std::int64_t>(Offset) + static_cast<std::int64_t>(Length) <= fileSize;
}

bool QfwHeader::HasMagic() const {
    return Magic[0] == 'q' && Magic[1] == 'F' && Magic[2] == 'o' && Magic[3] == 'W';
}

std::int32_t QfwHeader::SwId() const { return LeInt32(SWID); }
std::int32_t QfwHeader::SwVersionNumber() const { return LeInt32(SWVersion); }
std::string QfwHeader::DateText() const { return AsText(Date); }
std::string QfwHeader::TimeText() const { return AsText(Time); }

std::string QfwHeader::VersionText() const {
    return std::to_string(SwId()) + "." + std::to_string(SwVersionNumber());
}

bool ParseQfwHeader(std::span<const std::uint8_t> bytes, QfwHeader& out) {
    out = QfwHeader{};
    if (bytes.size() < kQfwHeaderSize) return false;
    ByteReader r(bytes.first(kQfwHeaderSize));
    QfwHeader h;
    ReadArray(r, h.Magic);
    ReadArray(r, h.CneTag);
    ReadArray(r, h.Date);
    ReadArray(r, h.Time);
    ReadArray(r, h.SWID);
    ReadArray(r, h.SWVersion);
    h.HardwareID = static_cast<std::int16_t>(r.U16());
    h.CompatibleHardwareVersion = static_cast<std::int16_t>(r.U16());
    ReadArray(r, h.Reserved1);
    ReadSection(r, h.Image1);
    ReadSection(r, h.Image2);
    ReadSection(r, h.CNE);
    if (!r.Ok() || r.Pos() != kQfwHeaderSize) return false;
    out = h;
    return true;
}

QfwReadStatus ReadQfwHeaderFile(const std::string& path, QfwHeader& out, std::string* error,
                                std::int64_t* fileSize) {
    out = QfwHeader{};
    if (fileSize) *fileSize = 0;
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        if (error)
            *error = path.empty() ? "no file name" : ::stat(path.c_str(), &st) == 0 ? "not a regular file" : "not found";
        return QfwReadStatus::NotAFile;
    }
    if (fileSize) *fileSize = static_cast<std::int64_t>(st.st_size);

    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error) *error = std::strerror(errno);
        return QfwReadStatus::ReadError;
    }
    std::vector<std::uint8_t> buf(kQfwHeaderSize, 0);
    in.read(reinterpret_cast<char*>(buf.data()), static_cast<std::streamsize>(buf.size()));
    std::streamsize got = in.gcount();
    if (in.bad()) {
        if (error) *error = "read error";
        return QfwReadStatus::ReadError;
    }
    // Bytes beyond the end of a short file read as zeros.
    ParseQfwHeader(buf, out);
    if (got < static_cast<std::streamsize>(kQfwHeaderSize)) {
        if (error) *error = "file shorter than the header (" + std::to_string(got) + " bytes)";
        return QfwReadStatus::Short;
    }
    return QfwReadStatus::Ok;
}

}  // namespace kvr
