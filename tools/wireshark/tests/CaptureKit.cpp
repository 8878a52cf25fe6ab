#include "CaptureKit.h"

#include <pcap/pcap.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "SnapCodec.h"
#include "HexText.h"

namespace capkit {

namespace fs = std::filesystem;

CaptureFile::CaptureFile(const std::string& path, int linkType) {
    m_pcap = pcap_open_dead(linkType, 65535);
    if (m_pcap == nullptr) throw std::runtime_error("pcap_open_dead failed");
    m_dumper = pcap_dump_open(m_pcap, path.c_str());
    if (m_dumper == nullptr) {
        std::string why = pcap_geterr(m_pcap);
        pcap_close(m_pcap);
        throw std::runtime_error("cannot write " + path + ": " + why);
    }
}

CaptureFile::~CaptureFile() { Close(); }

void CaptureFile::Add(const Bytes& frame, std::int64_t timeMs) {
    if (m_dumper == nullptr) throw std::runtime_error("capture already closed");
    // 2026-12-07 09:00:00 UTC plus the frame's time.
    constexpr std::int64_t kBase = 1796634000;
    pcap_pkthdr h{};
    h.ts.tv_sec = static_cast<time_t>(kBase + timeMs / 1000);
    h.ts.tv_usec = static_cast<suseconds_t>((timeMs % 1000) * 1000);
    h.caplen = static_cast<bpf_u_int32>(frame.size());
    h.len = h.caplen;
    pcap_dump(reinterpret_cast<u_char*>(m_dumper), &h, frame.data());
    ++m_count;
}

void CaptureFile::Close() {
    if (m_dumper != nullptr) pcap_dump_close(m_dumper);
    if (m_pcap != nullptr) pcap_close(m_pcap);
    m_dumper = nullptr;
    m_pcap = nullptr;
}

namespace {

void PutLe(Bytes& b, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

}  // namespace

MultiLinkCapture::MultiLinkCapture(const std::string& path) : m_file(std::fopen(path.c_str(), "wb")) {
    if (m_file == nullptr) throw std::runtime_error("cannot write " + path);
    Bytes shb;
    PutLe(shb, 0x1A2B3C4D, 4);           // byte-order magic
    PutLe(shb, 1, 2);                    // version 1.0
    PutLe(shb, 0, 2);
    PutLe(shb, 0xFFFFFFFFFFFFFFFFu, 8);  // section length not given
    Block(0x0A0D0D0A, shb);
}

MultiLinkCapture::~MultiLinkCapture() { Close(); }

void MultiLinkCapture::Block(std::uint32_t type, const Bytes& body) {
    if (m_file == nullptr) throw std::runtime_error("capture already closed");
    Bytes block;
    const std::size_t padded = (body.size() + 3) / 4 * 4;
    const auto total = static_cast<std::uint32_t>(12 + padded);
    PutLe(block, type, 4);
    PutLe(block, total, 4);
    block.insert(block.end(), body.begin(), body.end());
    block.resize(8 + padded, 0);
    PutLe(block, total, 4);
    if (std::fwrite(block.data(), 1, block.size(), m_file) != block.size())
        throw std::runtime_error("cannot write a pcapng block");
}

void MultiLinkCapture::Add(int linkType, const Bytes& frame, std::int64_t timeMs) {
    auto it = std::find(m_linkTypes.begin(), m_linkTypes.end(), linkType);
    if (it == m_linkTypes.end()) {
        Bytes idb;
        PutLe(idb, static_cast<std::uint32_t>(linkType), 2);
        PutLe(idb, 0, 2);
        PutLe(idb, 65535, 4);  // snapshot length
        Block(0x00000001, idb);
        m_linkTypes.push_back(linkType);
        it = m_linkTypes.end() - 1;
    }
    // Microseconds since 1970, the same base time as CaptureFile.
    const std::uint64_t us = static_cast<std::uint64_t>(1796634000 * 1000LL + timeMs) * 1000u;
    Bytes epb;
    PutLe(epb, static_cast<std::uint32_t>(it - m_linkTypes.begin()), 4);
    PutLe(epb, us >> 32, 4);
    PutLe(epb, us & 0xFFFFFFFFu, 4);
    PutLe(epb, frame.size(), 4);  // captured
    PutLe(epb, frame.size(), 4);  // on the wire
    epb.insert(epb.end(), frame.begin(), frame.end());
    Block(0x00000006, epb);
}

void MultiLinkCapture::Close() {
    if (m_file != nullptr) std::fclose(m_file);
    m_file = nullptr;
}

Bytes PayloadBytes(const clsPayload& payload) {
    Bytes all = payload.GetPayload();
    all.resize(static_cast<std::size_t>(payload.GetLength()));
    return all;
}

Bytes SnapFrame(const std::string& dst, const std::string& src, int version, std::uint8_t type, std::uint16_t label,
                std::uint8_t status, const Bytes& payload) {
    const auto destination = kvr::ParseMac(dst);
    const auto sender = kvr::ParseMac(src);
    kvr::SnapFrame f{sender.value_or(kvr::MacAddress{}), static_cast<std::int16_t>(version), type,
                     static_cast<std::int16_t>(label), status, payload};
    Bytes frame;
    if (!destination || !sender || !kvr::BuildSnapFrame(*destination, f, frame))
        throw std::runtime_error("the frame codec refused a test frame");
    return frame;
}

std::optional<std::string> FindTshark() {
    const char* path = std::getenv("PATH");
    if (path == nullptr) return std::nullopt;
    for (const std::string& dir : Split(path, ':')) {
        if (dir.empty()) continue;
        fs::path candidate = fs::path(dir) / "tshark";
        if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
    }
    return std::nullopt;
}

namespace {

std::uint32_t Crc32(const Bytes& data, std::size_t from, std::size_t n) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = from; i < from + n; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

Bytes SmallFirmwareFile(std::size_t imageBytes) {
    Bytes f(96 + imageBytes, 0);
    const std::string head = "qFoWCnE120261207130000xx";
    std::copy(head.begin(), head.end(), f.begin());
    Put32(f, 0x18, 1);       // SWID
    Put32(f, 0x1C, 0x0204);  // SWVersion
    f[0x20] = 1;             // HardwareID
    f[0x22] = 1;             // CompatibleHardwareVersion
    for (std::size_t i = 0; i < imageBytes; ++i) f[96 + i] = static_cast<std::uint8_t>(i * 7 + 3);
    Put32(f, 0x30, 96);
    Put32(f, 0x38, static_cast<std::uint32_t>(imageBytes));
    Put32(f, 0x3C, Crc32(f, 96, imageBytes));
    return f;
}

std::string DissectorPath() { return std::string(KVR_SOURCE_DIR) + "/tools/wireshark/snap.lua"; }

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace

std::string ShellQuote(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'') q += "'\\''";
        else q += c;
    }
    return q + "'";
}

TsharkRun RunShell(const std::string& commandLine) { return RunShellAll({commandLine}).at(0); }

std::vector<TsharkRun> RunShellAll(const std::vector<std::string>& commandLines) {
    CaptureDir scratch;
    std::vector<FILE*> pipes;
    for (std::size_t i = 0; i < commandLines.size(); ++i) {
        const std::string errFile = scratch.Path() + "/stderr" + std::to_string(i) + ".txt";
        const std::string cmd = "( " + commandLines[i] + " ) 2>" + ShellQuote(errFile);
        FILE* pipe = ::popen(cmd.c_str(), "r");
        if (pipe == nullptr) {
            for (FILE* started : pipes) ::pclose(started);
            throw std::runtime_error("cannot run: " + commandLines[i]);
        }
        pipes.push_back(pipe);
    }
    // Each run writes until its pipe is full and waits there for its turn.
    std::vector<TsharkRun> runs(commandLines.size());
    for (std::size_t i = 0; i < pipes.size(); ++i) {
        char buf[8192];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, pipes[i])) > 0) runs[i].out.append(buf, n);
        const int status = ::pclose(pipes[i]);
        runs[i].exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        runs[i].err = ReadFile(scratch.Path() + "/stderr" + std::to_string(i) + ".txt");
    }
    return runs;
}

TsharkRun RunTshark(const std::string& tshark, const std::string& capture, const std::vector<std::string>& args) {
    return RunTsharkAll(tshark, capture, {args}).at(0);
}

std::vector<TsharkRun> RunTsharkAll(const std::string& tshark, const std::string& capture,
                                    const std::vector<std::vector<std::string>>& argLists) {
    std::vector<std::unique_ptr<CaptureDir>> homes;
    std::vector<std::string> commands;
    for (const auto& args : argLists) {
        homes.push_back(std::make_unique<CaptureDir>());
        const std::string& home = homes.back()->Path();
        std::string cfg = home + "/config";
        ::mkdir(cfg.c_str(), 0700);
        std::string cmd = "HOME=" + ShellQuote(home) + " XDG_CONFIG_HOME=" + ShellQuote(cfg) +
                          " WIRESHARK_CONFIG_DIR=" + ShellQuote(cfg) + " " + ShellQuote(tshark) + " -n -X " +
                          ShellQuote("lua_script:" + DissectorPath()) + " -r " + ShellQuote(capture);
        for (const std::string& a : args) cmd += " " + ShellQuote(a);
        commands.push_back(std::move(cmd));
    }
    return RunShellAll(commands);
}

std::vector<std::string> FieldArgs(const std::vector<std::string>& fields, bool twoPass) {
    std::vector<std::string> args;
    if (twoPass) args.push_back("-2");
    for (const char* a : {"-T", "fields", "-E", "separator=/t", "-E", "occurrence=a", "-E", "aggregator=|", "-E",
                          "quote=n"})
        args.emplace_back(a);
    for (const std::string& f : fields) {
        args.emplace_back("-e");
        args.push_back(f);
    }
    return args;
}

FieldRows ParseFields(const TsharkRun& run, std::size_t fieldCount) {
    if (run.exitCode != 0) throw std::runtime_error("tshark failed (" + std::to_string(run.exitCode) + "): " + run.err);
    FieldRows rows;
    for (const std::string& line : Split(run.out, '\n')) {
        if (line.empty()) continue;
        std::vector<std::string> cols = Split(line, '\t');
        cols.resize(fieldCount);
        rows.push_back(std::move(cols));
    }
    return rows;
}

FieldRows Fields(const std::string& tshark, const std::string& capture, const std::vector<std::string>& fields,
                 bool twoPass, std::string* errors) {
    TsharkRun run = RunTshark(tshark, capture, FieldArgs(fields, twoPass));
    if (errors != nullptr) *errors = run.err;
    return ParseFields(run, fields.size());
}

FieldRows SelectFields(const FieldRows& rows, const std::vector<std::string>& decoded,
                       const std::vector<std::string>& wanted) {
    std::vector<std::size_t> columns;
    for (const std::string& field : wanted) {
        auto it = std::find(decoded.begin(), decoded.end(), field);
        if (it == decoded.end()) throw std::runtime_error("the field " + field + " was not decoded");
        columns.push_back(static_cast<std::size_t>(it - decoded.begin()));
    }
    FieldRows out;
    for (const auto& row : rows) {
        std::vector<std::string> picked;
        for (std::size_t c : columns) picked.push_back(c < row.size() ? row[c] : std::string());
        out.push_back(std::move(picked));
    }
    return out;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string cur;
    for (char c : text) {
        if (c == separator) {
            parts.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    parts.push_back(cur);
    return parts;
}

}  // namespace capkit
