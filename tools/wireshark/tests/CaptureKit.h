#pragma once
// Helpers for the dissector tests: writing frames into a capture file,
// building frames the way the program does, and running tshark with the
// dissector over a capture.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "TempDir.h"
#include "clsPayload.h"

struct pcap;
struct pcap_dumper;

namespace capkit {

using Bytes = std::vector<std::uint8_t>;

// A temporary directory for captures and tshark's homes; one that cannot be
// made is an error, never an empty path.
class CaptureDir : public TempDir {
public:
    CaptureDir() : TempDir("kvr-dissector") {
        if (Path().empty()) throw std::runtime_error("mkdtemp failed for a dissector directory");
    }
};

// A capture file (pcap), Ethernet unless another link type (a DLT_ value) is
// given. Frames are stamped with a base time plus the given milliseconds.
class CaptureFile {
public:
    explicit CaptureFile(const std::string& path, int linkType = 1);
    ~CaptureFile();
    CaptureFile(const CaptureFile&) = delete;
    CaptureFile& operator=(const CaptureFile&) = delete;
    void Add(const Bytes& frame, std::int64_t timeMs);
    // Frames written so far.
    int Count() const { return m_count; }
    void Close();

private:
    pcap* m_pcap = nullptr;
    pcap_dumper* m_dumper = nullptr;
    int m_count = 0;
};

// A capture file in pcapng form, whose frames may differ in link type (one
// interface per link type), so frames of several link types are decoded in
// one tshark run. Frames are stamped as in CaptureFile.
class MultiLinkCapture {
public:
    explicit MultiLinkCapture(const std::string& path);
    ~MultiLinkCapture();
    MultiLinkCapture(const MultiLinkCapture&) = delete;
    MultiLinkCapture& operator=(const MultiLinkCapture&) = delete;
    void Add(int linkType, const Bytes& frame, std::int64_t timeMs);
    void Close();

private:
    void Block(std::uint32_t type, const Bytes& body);
    std::FILE* m_file = nullptr;
    std::vector<int> m_linkTypes;  // interface n has link type m_linkTypes[n]
};

// The payload bytes of a finished clsPayload (its first GetLength bytes).
Bytes PayloadBytes(const clsPayload& payload);

// A SNAP frame built with the program's frame builder; addresses are 12
// hexadecimal digits. Throws std::runtime_error when the builder refuses.
Bytes SnapFrame(const std::string& dst, const std::string& src, int version, std::uint8_t type, std::uint16_t label,
                std::uint8_t status, const Bytes& payload);

// A valid firmware file (96-byte header, SWID 1, SWVersion 0x0204, hardware
// 1) with one image section of imageBytes bytes and its CRC-32.
Bytes SmallFirmwareFile(std::size_t imageBytes);

// Path of the tshark program, or nullopt when it is not installed.
std::optional<std::string> FindTshark();

struct TsharkRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs a shell command line; stdout and stderr are collected separately.
TsharkRun RunShell(const std::string& commandLine);
// Single-quotes a word for the shell.
std::string ShellQuote(const std::string& word);

// Runs several command lines at once, each as RunShell does; the results in
// the order given.
std::vector<TsharkRun> RunShellAll(const std::vector<std::string>& commandLines);

// Runs tshark with the dissector loaded over the capture, with its own empty
// home and configuration directories (so an installed copy of the dissector
// or personal preferences cannot interfere). `args` are appended as given.
TsharkRun RunTshark(const std::string& tshark, const std::string& capture, const std::vector<std::string>& args);
// The same for several argument lists over one capture, the runs at once.
std::vector<TsharkRun> RunTsharkAll(const std::string& tshark, const std::string& capture,
                                    const std::vector<std::vector<std::string>>& argLists);

// One row per frame, one column per field; several occurrences of a field
// are joined with '|'.
using FieldRows = std::vector<std::vector<std::string>>;
FieldRows Fields(const std::string& tshark, const std::string& capture, const std::vector<std::string>& fields,
                 bool twoPass = false, std::string* errors = nullptr);
// The tshark arguments of Fields, and the reading of its output (throws
// std::runtime_error when tshark failed).
std::vector<std::string> FieldArgs(const std::vector<std::string>& fields, bool twoPass = false);
FieldRows ParseFields(const TsharkRun& run, std::size_t fieldCount);
// The given columns of rows decoded with the fields `decoded`; throws
// std::runtime_error for a field that was not decoded.
FieldRows SelectFields(const FieldRows& rows, const std::vector<std::string>& decoded,
                       const std::vector<std::string>& wanted);

std::vector<std::string> Split(const std::string& text, char separator);

// A suite whose cases share one decode: `Decode`, built from tshark's path,
// runs tshark once before the first case; every case skips when tshark is
// not installed, and fails with the reason when the decode failed.
template <typename Decode>
class SharedDecodeSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        auto found = FindTshark();
        if (!found) return;
        try {
            s_decode = std::make_unique<Decode>(*found);
        } catch (const std::exception& e) {
            s_error = e.what();
        }
    }
    static void TearDownTestSuite() { s_decode.reset(); }

    void SetUp() override {
        if (!FindTshark()) GTEST_SKIP() << "tshark is not installed (scripts/deps.sh installs it); dissector not checked";
        ASSERT_TRUE(s_decode) << s_error;
    }

    static inline std::unique_ptr<Decode> s_decode;
    static inline std::string s_error;
};

// The dissector under test.
std::string DissectorPath();

}  // namespace capkit
