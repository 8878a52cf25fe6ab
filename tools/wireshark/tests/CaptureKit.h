#pragma once
// Helpers for the dissector tests: writing frames into a capture file,
// building frames the way the program does, and running tshark with the
// dissector over a capture.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "clsPayload.h"

struct pcap;
struct pcap_dumper;

namespace capkit {

using Bytes = std::vector<std::uint8_t>;

// A temporary directory removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
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

// Runs tshark with the dissector loaded over the capture, with its own empty
// home and configuration directories (so an installed copy of the dissector
// or personal preferences cannot interfere). `args` are appended as given.
TsharkRun RunTshark(const std::string& tshark, const std::string& capture, const std::vector<std::string>& args);

// One row per frame, one column per field; several occurrences of a field
// are joined with '|'.
using FieldRows = std::vector<std::vector<std::string>>;
FieldRows Fields(const std::string& tshark, const std::string& capture, const std::vector<std::string>& fields,
                 bool twoPass = false, std::string* errors = nullptr);

std::vector<std::string> Split(const std::string& text, char separator);

// The dissector under test.
std::string DissectorPath();

}  // namespace capkit
