#include "basUtils.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "basDebug.h"
#include "Globals.h"
#include "kvr_resources.h"
#include "LibraryLoader.h"
#include "ProgramStore.h"
#include "Text.h"

namespace {

const kvr::ModuleLog Log("basUtils");

// Checks a byte range [start, start + count) against an array of size n.
void CheckRead(std::size_t n, long start, long count, const char* routine) {
    if (start < 0 || count < 0)
        throw RunTimeError(kErrInvalidStartEnd,
                           std::string("PROGRAM ERROR: invalid start and end bytes in ") + routine);
    if (static_cast<unsigned long>(start) + static_cast<unsigned long>(count) > n)
        throw RunTimeError(kErrReadBeyondEnd, std::string("PROGRAM ERROR: ") + routine +
                                                  " is instructed to read beyond the end of the incoming array!");
}

void CheckWrite(std::size_t n, long start, long count, const char* routine) {
    if (start < 0)
        throw RunTimeError(kErrInvalidStartEnd,
                           std::string("PROGRAM ERROR: invalid start and end bytes in ") + routine);
    if (static_cast<unsigned long>(start) + static_cast<unsigned long>(count) > n)
        throw RunTimeError(kErrReadBeyondEnd, std::string("PROGRAM ERROR: ") + routine +
                                                  " is instructed to write beyond the end of the array!");
}

// Numeric value of the leading part of a hexadecimal pair ("4G" is 4, "G4" is 0).
std::uint8_t HexPairValue(char a, char b) {
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    const int hi = digit(a);
    if (hi < 0) return 0;
    const int lo = digit(b);
    if (lo < 0) return static_cast<std::uint8_t>(hi);
    return static_cast<std::uint8_t>(hi * 16 + lo);
}

void RemoveAll(std::string& s, const std::string& what) {
    for (std::size_t p; (p = s.find(what)) != std::string::npos;) s.erase(p, what.size());
}

// Leading decimal number of a text (blanks before it allowed), rounded half to
// even; nullopt when the text holds no number there.
std::optional<double> LeadingValue(const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    const double v = std::strtod(begin, &end);
    if (end == begin || !std::isfinite(v)) return std::nullopt;
    // Hexadecimal and exponent forms of strtod are not numbers here.
    for (const char* p = begin; p < end; ++p)
        if (*p == 'x' || *p == 'X' || *p == 'p' || *p == 'P' || *p == 'n' || *p == 'N' || *p == 'i' || *p == 'I')
            return std::nullopt;
    return std::nearbyint(v);
}

std::string SafeMid(const std::string& s, std::size_t pos, std::size_t n = std::string::npos) {
    return pos >= s.size() ? std::string() : s.substr(pos, n);
}

bool LooksLikeImage(const std::string& ext, const std::vector<std::uint8_t>& b) {
    auto starts = [&](std::initializer_list<std::uint8_t> sig) {
        if (b.size() < sig.size()) return false;
        std::size_t i = 0;
        for (std::uint8_t c : sig)
            if (b[i++] != c) return false;
        return true;
    };
    if (ext == "png") return starts({0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'});
    if (ext == "bmp") return starts({'B', 'M'});
    if (ext == "ico") return starts({0, 0, 1, 0}) || starts({0, 0, 2, 0});
    if (ext == "gif") return starts({'G', 'I', 'F', '8'});
    return false;
}

// Largest picture file read from disk; anything bigger is not a picture of ours.
constexpr std::uintmax_t kMaxPictureBytes = 32u << 20;

}  // namespace

long ByteArrayToLong(const ByteArray& bytes, long start, std::optional<long> end, bool bigEndian) {
    const long last = end ? *end : start + 3;
    if (last - start > 3 || last < start || start < 0)
        throw RunTimeError(kErrInvalidStartEnd, "PROGRAM ERROR: invalid start and end bytes in ByteArrayToLong");
    if (static_cast<unsigned long>(last) >= bytes.size())
        throw RunTimeError(kErrReadBeyondEnd,
                           "PROGRAM ERROR: ByteArrayToLong is instructed to read beyond the end of the incoming array!");
    std::uint32_t v = 0;
    if (bigEndian) {
        for (long i = start; i <= last; ++i) v = (v << 8) | bytes[static_cast<std::size_t>(i)];
    } else {
        for (long i = last; i >= start; --i) v = (v << 8) | bytes[static_cast<std::size_t>(i)];
    }
    return static_cast<std::int32_t>(v);
}

std::int16_t ByteArrayToInt(const ByteArray& bytes, long start, bool bigEndian) {
    if (start < 0)
        throw RunTimeError(kErrInvalidStartEnd, "PROGRAM ERROR: invalid start and end bytes in ByteArrayToInt");
    if (static_cast<unsigned long>(start) + 1 >= bytes.size())
        throw RunTimeError(kErrReadBeyondEnd,
                           "PROGRAM ERROR: ByteArrayToInt is instructed to read beyond the end of the incoming array!");
    const auto s = static_cast<std::size_t>(start);
    const std::uint16_t v = bigEndian ? static_cast<std::uint16_t>((bytes[s] << 8) | bytes[s + 1])
                                      : static_cast<std::uint16_t>((bytes[s + 1] << 8) | bytes[s]);
    return static_cast<std::int16_t>(v);
}

void LongToByteArray(long value, ByteArray& bytes, long start, bool bigEndian) {
    CheckWrite(bytes.size(), start, 4, "LongToByteArray");
    const auto v = static_cast<std::uint32_t>(value);
    const auto s = static_cast<std::size_t>(start);
    for (std::size_t k = 0; k < 4; ++k) {
        const auto b = static_cast<std::uint8_t>(v >> (8 * k));
        bytes[bigEndian ? s + 3 - k : s + k] = b;
    }
}

void IntToByteArray(std::int16_t value, ByteArray& bytes, long start, bool bigEndian) {
    CheckWrite(bytes.size(), start, 2, "IntToByteArray");
    const auto v = static_cast<std::uint16_t>(value);
    const auto s = static_cast<std::size_t>(start);
    bytes[bigEndian ? s + 1 : s] = static_cast<std::uint8_t>(v);
    bytes[bigEndian ? s : s + 1] = static_cast<std::uint8_t>(v >> 8);
}

long ByteArrayCopy(const ByteArray& source, long sourceStart, long count, ByteArray& target, long targetStart) {
    CheckRead(source.size(), sourceStart, count, "ByteArrayCopy");
    if (targetStart < 0)
        throw RunTimeError(kErrInvalidStartEnd, "PROGRAM ERROR: invalid start and end bytes in ByteArrayCopy");
    const auto need = static_cast<std::size_t>(targetStart) + static_cast<std::size_t>(count);
    if (target.size() < need) target.resize(need);
    if (count > 0) {
        // The source may be the target itself: copy through a temporary.
        const ByteArray piece(source.begin() + sourceStart, source.begin() + sourceStart + count);
        std::copy(piece.begin(), piece.end(), target.begin() + targetStart);
    }
    return 0;
}

bool ByteArraysEqual(const ByteArray& a, const ByteArray& b) { return a == b; }

std::string ByteArrayToHex(const ByteArray& bytes, long groupSize) {
    if (groupSize < 1) groupSize = static_cast<long>(bytes.size());
    std::string out;
    out.reserve(bytes.size() * 3);
    static const char* kDigits = "0123456789ABCDEF";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0 && groupSize > 0 && i % static_cast<std::size_t>(groupSize) == 0) out.push_back(' ');
        out.push_back(kDigits[bytes[i] >> 4]);
        out.push_back(kDigits[bytes[i] & 0x0F]);
    }
    return kvr::Trim(out);
}

long HexString2Ascii(const std::string& text, ByteArray& bytes) {
    bytes.assign(1, 0);
    if (text.empty()) return -1;
    std::string s = text;
    for (const char* what : {" ", "0x", "0X", "&H", "&h", "\r", "\n"}) RemoveAll(s, what);
    if (s.size() % 2 != 0)
        throw RunTimeError(kErrOddHexString,
                           "Error: invalid hex string - 2 chars per byte - this one is not divisible by 2: '" + text + "'");
    if (s.empty()) return -1;
    bytes.resize(s.size() / 2);
    for (std::size_t k = 0; k < bytes.size(); ++k) bytes[k] = HexPairValue(s[2 * k], s[2 * k + 1]);
    return 0;
}

std::int16_t DecStringToInt(const std::string& text, bool& ok) {
    ok = false;
    const std::string t = kvr::Trim(text);
    const auto v = LeadingValue(t);
    char* end = nullptr;
    std::strtod(t.c_str(), &end);
    if (!v || t.empty() || *end != '\0') {
        Log(FormatTrappedError(13, "Type mismatch", "DecStringToInt"), kvr::LEVEL_ERROR);
        return 0;
    }
    if (*v > 2147483647.0 || *v < -2147483648.0) {
        Log(FormatTrappedError(6, "Overflow", "DecStringToInt"), kvr::LEVEL_ERROR);
        return 0;
    }
    ByteArray four(4);
    LongToByteArray(static_cast<long>(*v), four, 0);
    ok = true;
    return ByteArrayToInt(four, 0);
}

long IpStringToLong(const std::string& text) {
    std::vector<std::string> parts;
    std::size_t from = 0;
    for (;;) {
        const auto dot = text.find('.', from);
        parts.push_back(text.substr(from, dot == std::string::npos ? std::string::npos : dot - from));
        if (dot == std::string::npos) break;
        from = dot + 1;
    }
    if (parts.size() < 4) return 0;
    ByteArray b(4);
    for (std::size_t k = 0; k < 4; ++k) {
        const double v = LeadingValue(parts[k]).value_or(0.0);
        if (v < 0 || v > 255) return 0;
        b[k] = static_cast<std::uint8_t>(v);
    }
    return ByteArrayToLong(b, 0);
}

long MinLong(long a, long b) { return a < b ? a : b; }

std::string FormatMacAddress(const std::string& text) {
    if (text.size() < 12) return "";
    std::string out = text.substr(0, 2);
    for (std::size_t i = 2; i < 12; i += 2) {
        out.push_back(':');
        out.append(text, i, 2);
    }
    return out;
}

std::string FormatFirmwareDate(const std::string& text) {
    return SafeMid(text, 0, 4) + "-" + SafeMid(text, 4, 2) + "-" + SafeMid(text, 6);
}

std::string FormatFirmwareTime(const std::string& text) {
    return SafeMid(text, 0, 2) + ":" + SafeMid(text, 2, 2) + ":" + SafeMid(text, 4);
}

std::optional<std::string> LoadResString(long id) {
    if (const char* s = kvr::res::BuiltinString(id)) return std::string(s);
    return std::nullopt;
}

std::string LoadResStringWrapper(long id, const std::string& def) {
    try {
        if (id <= 0) return "";
        kvr::ProgramStore* store = G().DbManager;
        std::string failure;
        if (store) {
            if (auto s = store->StoredString(id, &failure)) return *s;
        }
        if (auto s = LoadResString(id)) return *s;
        if (store) {
            // Asked of the database: its procedure and module are named.
            if (failure.empty())
                failure = FormatTrappedError(326, "Resource with identifier '" + std::to_string(id) + "' not found",
                                             "LoadResStringDb");
            DebugLog(failure + ".  Exiting abnormally.", kvr::LEVEL_ERROR, std::string("clsDbManager"));
        } else {
            Log(FormatTrappedError(326, "Resource with identifier '" + std::to_string(id) + "' not found",
                                   "LoadResStringWrapper"),
                kvr::LEVEL_ERROR);
        }
        return def;
    } catch (const std::exception& e) {
        Log(FormatTrappedError(5, e.what(), "LoadResStringWrapper"), kvr::LEVEL_ERROR);
        return "";
    }
}

std::vector<std::uint8_t> LoadResPictureWrapper(long id, int /*kind*/) {
    try {
        if (id < 1) return {};
        namespace fs = std::filesystem;
        const fs::path app = G().AppDirectory.empty() ? fs::path(kvr::ExecutableDirectory()) : fs::path(G().AppDirectory);
        std::vector<fs::path> folders;
        if (!kvr::Trim(G().UserLanguage).empty()) folders.push_back(app / "pic" / G().UserLanguage);
        folders.push_back(app / "pic" / "default");
        folders.push_back(app / "pic");
        for (const auto& folder : folders) {
            for (const char* ext : {"png", "bmp", "ico", "gif"}) {
                const fs::path file = folder / (std::to_string(id) + "." + ext);
                std::error_code ec;
                if (!fs::is_regular_file(file, ec)) continue;
                const auto size = fs::file_size(file, ec);
                if (ec || size > kMaxPictureBytes) {
                    Log("LoadResPictureWrapper: skipping '" + file.string() + "': not a readable picture file",
                        kvr::LEVEL_WARNING);
                    continue;
                }
                std::ifstream in(file, std::ios::binary);
                std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
                if (!in.good() && !in.eof()) {
                    Log("LoadResPictureWrapper: cannot read '" + file.string() + "'", kvr::LEVEL_WARNING);
                    continue;
                }
                if (!LooksLikeImage(ext, bytes)) {
                    Log("LoadResPictureWrapper: '" + file.string() + "' is not a ." + ext + " picture; ignored",
                        kvr::LEVEL_WARNING);
                    continue;
                }
                return bytes;
            }
        }
        const kvr::res::PictureBytes p = kvr::res::BuiltinPicture(id);
        if (p.data) return std::vector<std::uint8_t>(p.data, p.data + p.size);
        Log(FormatTrappedError(326, "Resource with identifier '" + std::to_string(id) + "' not found",
                               "LoadResPictureWrapper") + ".  Exiting abnormally.",
            kvr::LEVEL_ERROR);
        return {};
    } catch (const std::exception& e) {
        Log(FormatTrappedError(5, e.what(), "LoadResPictureWrapper") + ".  Exiting abnormally.", kvr::LEVEL_ERROR);
        return {};
    }
}

void SplitPath(const std::string& path, std::string& dir, std::string& file) {
    const auto p = path.find_last_of("/\\");
    if (p == std::string::npos) {
        dir.clear();
        file = path;
    } else {
        dir = path.substr(0, p + 1);
        file = path.substr(p + 1);
    }
}
