#include "sim/QfwMaker.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "sim/DeviceOptions.h"
#include "zarni_utils.h"

namespace kvr::sim {

namespace {

constexpr std::size_t kHeaderBytes = 96;
constexpr std::uint64_t kMaxSectionBytes = 512u << 20;  // what the command takes per section

void PutLe(std::vector<std::uint8_t>& f, std::size_t at, std::uint32_t v, int bytes = 4) {
    for (int i = 0; i < bytes; ++i) f[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

void PutText(std::vector<std::uint8_t>& f, std::size_t at, const std::string& text) {
    for (std::size_t i = 0; i < 8 && i < text.size(); ++i) f[at + i] = static_cast<std::uint8_t>(text[i]);
}

bool Number(const std::string& text, long long lo, long long hi, long long& v) {
    return ParseOptionNumber(text, lo, hi, v);
}

// SIZE, @FILE or none.
bool SectionValue(const std::string& text, std::uint32_t seed, std::optional<std::vector<std::uint8_t>>& out,
                  std::string& why) {
    if (text == "none") {
        out.reset();
        return true;
    }
    if (!text.empty() && text[0] == '@') {
        const std::string path = text.substr(1);
        std::error_code ec;
        if (!std::filesystem::is_regular_file(path, ec)) {
            why = "'" + path + "' is not a readable file";
            return false;
        }
        const std::uintmax_t size = std::filesystem::file_size(path, ec);
        if (ec || size > kMaxSectionBytes) {
            why = ec ? "cannot read the size of '" + path + "'" : "'" + path + "' is larger than 512 MiB";
            return false;
        }
        std::ifstream in(path, std::ios::binary);
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
        if (!in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size())) ||
            in.gcount() != static_cast<std::streamsize>(bytes.size())) {
            why = "cannot read '" + path + "'";
            return false;
        }
        out = std::move(bytes);
        return true;
    }
    long long n = 0;
    if (!Number(text, 0, static_cast<long long>(kMaxSectionBytes), n)) {
        why = "takes a size in bytes (at most 512 MiB), @FILE or none";
        return false;
    }
    out = QfwFiller(static_cast<std::size_t>(n), seed);
    return true;
}

}  // namespace

std::vector<std::uint8_t> QfwFiller(std::size_t n, std::uint32_t seed) {
    std::vector<std::uint8_t> v(n);
    std::uint32_t x = seed * 2654435761u + 0x9E3779B9u;
    for (std::size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        v[i] = static_cast<std::uint8_t>(x);
    }
    return v;
}

std::vector<std::uint8_t> MakeQfw(const QfwSpec& spec) {
    std::uint64_t total = kHeaderBytes;
    for (const auto* s : {&spec.cne, &spec.image1, &spec.image2})
        if (*s) total += (*s)->size();
    if (total > kMaxQfwBytes) throw std::length_error("a .qfw file holds less than 2 GiB");

    std::vector<std::uint8_t> f(kHeaderBytes, 0);
    f.reserve(static_cast<std::size_t>(total));
    f[0] = 'q';
    f[1] = 'F';
    f[2] = 'o';
    f[3] = 'W';
    for (std::size_t i = 0; i < 4; ++i) f[4 + i] = spec.cneTag[i];
    PutText(f, 0x08, spec.date);
    PutText(f, 0x10, spec.time);
    PutLe(f, 0x18, spec.swid);
    PutLe(f, 0x1C, spec.swVersion);
    PutLe(f, 0x20, static_cast<std::uint16_t>(spec.hardwareId), 2);
    PutLe(f, 0x22, static_cast<std::uint16_t>(spec.compatibleHardwareVersion), 2);
    struct Place {
        const std::optional<std::vector<std::uint8_t>>* data;
        const std::array<std::uint8_t, 4>* target;
        std::size_t descriptor;
    };
    for (const Place& p : {Place{&spec.cne, &spec.cneTarget, 0x50}, Place{&spec.image1, &spec.image1Target, 0x30},
                           Place{&spec.image2, &spec.image2Target, 0x40}}) {
        if (!*p.data) continue;
        const std::vector<std::uint8_t>& bytes = **p.data;
        const std::size_t offset = f.size();
        f.insert(f.end(), bytes.begin(), bytes.end());
        PutLe(f, p.descriptor, static_cast<std::uint32_t>(offset));
        for (std::size_t i = 0; i < 4; ++i) f[p.descriptor + 4 + i] = (*p.target)[i];
        PutLe(f, p.descriptor + 8, static_cast<std::uint32_t>(bytes.size()));
        PutLe(f, p.descriptor + 12, crc32_gen(bytes.data(), static_cast<std::int32_t>(bytes.size())));
    }
    return f;
}

bool ParseQfwFields(const std::vector<std::string>& fields, QfwSpec& spec, std::string* error) {
    QfwSpec s = spec;
    std::uint32_t seed = 1;
    std::vector<std::pair<std::string, std::string>> sections;  // filled after the seed is known
    for (const std::string& field : fields) {
        const std::size_t eq = field.find('=');
        const std::string key = eq == std::string::npos ? field : field.substr(0, eq);
        const std::string val = eq == std::string::npos ? std::string() : field.substr(eq + 1);
        if (eq == std::string::npos || eq == 0) {
            if (error) *error = "'" + field + "' is not key=value";
            return false;
        }
        long long n = 0;
        bool ok = true;
        auto tag = [&](std::array<std::uint8_t, 4>& t) {
            if ((ok = Number(val, 0, 0xFFFFFFFFLL, n)))
                for (std::size_t i = 0; i < 4; ++i)
                    t[i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(n) >> (8 * i));
        };
        if (key == "swid") {
            if ((ok = Number(val, -0x80000000LL, 0xFFFFFFFFLL, n))) s.swid = static_cast<std::uint32_t>(n);
        } else if (key == "swver") {
            if ((ok = Number(val, -0x80000000LL, 0xFFFFFFFFLL, n))) s.swVersion = static_cast<std::uint32_t>(n);
        } else if (key == "hwid") {
            if ((ok = Number(val, -32768, 0xFFFF, n)))
                s.hardwareId = static_cast<std::int16_t>(static_cast<std::uint16_t>(n));
        } else if (key == "hwver") {
            if ((ok = Number(val, -32768, 0xFFFF, n)))
                s.compatibleHardwareVersion = static_cast<std::int16_t>(static_cast<std::uint16_t>(n));
        } else if (key == "date" || key == "time") {
            if ((ok = val.size() <= 8)) (key == "date" ? s.date : s.time) = val;
        } else if (key == "cnetag") {
            tag(s.cneTag);
        } else if (key == "target1") {
            tag(s.image1Target);
        } else if (key == "target2") {
            tag(s.image2Target);
        } else if (key == "cnetarget") {
            tag(s.cneTarget);
        } else if (key == "seed") {
            if ((ok = Number(val, 0, 0xFFFFFFFFLL, n))) seed = static_cast<std::uint32_t>(n);
        } else if (key == "image1" || key == "image2" || key == "cne") {
            sections.emplace_back(key, val);
        } else {
            if (error) *error = "unknown field '" + key + "'";
            return false;
        }
        if (!ok) {
            if (error) *error = "bad value for '" + key + "': '" + val + "'";
            return false;
        }
    }
    if (sections.empty()) sections.emplace_back("image1", "65536");
    for (const auto& [key, val] : sections) {
        auto& target = key == "image1" ? s.image1 : key == "image2" ? s.image2 : s.cne;
        const std::uint32_t salt = key == "image1" ? 1 : key == "image2" ? 2 : 3;
        std::string why;
        if (!SectionValue(val, seed * 4 + salt, target, why)) {
            if (error) *error = "'" + key + "' " + why;
            return false;
        }
    }
    std::uint64_t total = kHeaderBytes;
    for (const auto* sec : {&s.cne, &s.image1, &s.image2})
        if (*sec) total += (*sec)->size();
    if (total > kMaxQfwBytes) {
        if (error) *error = "the sections add up to 2 GiB or more";
        return false;
    }
    spec = std::move(s);
    return true;
}

std::string QfwFieldsHelp() {
    return "Firmware file fields (kvrsim --make-qfw OUT [key=value]...):\n"
           "  swid=N swver=N (SWID, SWVersion; default 0x100 and 0x204: the demo devices' next version)\n"
           "  hwid=N hwver=N (HardwareID, CompatibleHardwareVersion; default 1 and 1)\n"
           "  date=YYYYMMDD time=HHMMSSxx cnetag=N target1=N target2=N cnetarget=N (opaque words)\n"
           "  image1= image2= cne= : a size in bytes (repeatable content, see seed=N), @FILE or none;\n"
           "  without any of them Image1 has 64 KiB. Sections follow the header: CNE, Image1, Image2.\n";
}

bool WriteQfwFile(const std::string& path, const std::vector<std::uint8_t>& bytes, std::string* error) {
    const std::string temp = path + ".part";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (out) out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (out) out.close();
        if (!out) {
            std::remove(temp.c_str());
            if (error) *error = "cannot write '" + temp + "'";
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::rename(temp, path, ec);
    if (ec) {
        std::remove(temp.c_str());
        if (error) *error = "cannot write '" + path + "': " + ec.message();
        return false;
    }
    return true;
}

}  // namespace kvr::sim
