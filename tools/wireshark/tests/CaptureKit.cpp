#include "CaptureKit.h"

#include <pcap/pcap.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "SnapCodec.h"
#include "HexText.h"

namespace capkit {

namespace fs = std::filesystem;

TempDir::TempDir() {
    std::string templ = (fs::temp_directory_path() / ("kvr-dissector-" + std::to_string(::getpid()) + "-XXXXXX")).string();
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed for " + templ);
    m_path = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(m_path, ec);
}

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

TsharkRun RunShell(const std::string& commandLine) {
    TempDir scratch;
    std::string errFile = scratch.Path() + "/stderr.txt";
    std::string cmd = "( " + commandLine + " ) 2>" + ShellQuote(errFile);
    TsharkRun run;
    FILE* pipe = ::popen(cmd.c_str(), "r");
    if (pipe == nullptr) throw std::runtime_error("cannot run: " + commandLine);
    char buf[8192];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) run.out.append(buf, n);
    int status = ::pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.err = ReadFile(errFile);
    return run;
}

TsharkRun RunTshark(const std::string& tshark, const std::string& capture, const std::vector<std::string>& args) {
    TempDir home;
    std::string cfg = home.Path() + "/config";
    ::mkdir(cfg.c_str(), 0700);
    std::string cmd = "HOME=" + ShellQuote(home.Path()) + " XDG_CONFIG_HOME=" + ShellQuote(cfg) +
                      " WIRESHARK_CONFIG_DIR=" + ShellQuote(cfg) + " " + ShellQuote(tshark) + " -n -X " +
                      ShellQuote("lua_script:" + DissectorPath()) + " -r " + ShellQuote(capture);
    for (const std::string& a : args) cmd += " " + ShellQuote(a);
    return RunShell(cmd);
}

FieldRows Fields(const std::string& tshark, const std::string& capture, const std::vector<std::string>& fields,
                 bool twoPass, std::string* errors) {
    std::vector<std::string> args;
    if (twoPass) args.push_back("-2");
    for (const char* a : {"-T", "fields", "-E", "separator=/t", "-E", "occurrence=a", "-E", "aggregator=|", "-E",
                          "quote=n"})
        args.emplace_back(a);
    for (const std::string& f : fields) {
        args.emplace_back("-e");
        args.push_back(f);
    }
    TsharkRun run = RunTshark(tshark, capture, args);
    if (errors != nullptr) *errors = run.err;
    if (run.exitCode != 0) throw std::runtime_error("tshark failed (" + std::to_string(run.exitCode) + "): " + run.err);
    FieldRows rows;
    for (const std::string& line : Split(run.out, '\n')) {
        if (line.empty()) continue;
        std::vector<std::string> cols = Split(line, '\t');
        cols.resize(fields.size());
        rows.push_back(std::move(cols));
    }
    return rows;
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
