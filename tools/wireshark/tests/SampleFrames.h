#pragma once
// A capture of hand-made frames, one of each kind the dissector must read,
// malformed ones included. The test checks the decoded fields frame by frame,
// so the frame numbers are fixed here.
#include <string>

namespace samples {

inline const char* kHost = "020000000010";
inline const char* kDevice = "0007F5000001";
inline const char* kMulticast = "0107F5000100";

enum Frame : int {
    DiscoveryRequest = 1,
    DeviceAck,
    DiscoveryResponse,
    HostAck,
    ProfileResponse,
    ErrorStatusResponse,
    StartQfwDownload,
    ChunkEven,
    ChunkOdd,
    StartImageDownload,
    RawData,
    RawDataNext,
    RawDataResent,
    Version0Request,
    FatalCode,
    CountPastPayload,
    CountZero,
    LengthPastFrame,
    CutInHeader,
    StrayByte,
    StringCountTooLarge,
    DsapAB,
    ModifiedWrite,
    UnknownRid,
    PaddedAck,
    StartCneDownload,
    kFrameCount = StartCneDownload
};

// The WEP key and pass phrase in ProfileResponse: they must never appear in
// the dissector's output.
inline const char* kWepKey = "QZXJV";
inline const char* kPassphrase = "hunter2secret";

// Writes the capture; throws std::runtime_error on failure.
void WriteSampleCapture(const std::string& path);

}  // namespace samples
