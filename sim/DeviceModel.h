#pragma once
// One simulated device as pure logic: a received frame and the current time go
// in, the frames to send (each with the time it is due) come out. No sockets,
// no threads, no clock of its own, so every behaviour can be tested directly.
#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "sim/SimFrame.h"
#include "sim/Simulator.h"

namespace kvr::sim {

struct OutFrame {
    std::int64_t dueMs = 0;
    std::vector<std::uint8_t> bytes;
};

class DeviceModel {
public:
    // Limits of what the device keeps about its past.
    static constexpr std::size_t kMaxLogEntries = 4096;
    static constexpr std::size_t kMaxResponseRecords = 5000;

    explicit DeviceModel(const DeviceConfig& config);

    // Checks a configuration; empty when usable, else the reason.
    static std::string Validate(const DeviceConfig& config);

    // A frame reached the device's station at nowMs. Frames that are not SNAP
    // frames addressed to this device (its address, broadcast or the SNAP
    // multicast group) are ignored.
    std::vector<OutFrame> OnFrame(std::span<const std::uint8_t> bytes, std::int64_t nowMs);

    const Mac& Address() const { return m_config.mac; }
    const DeviceConfig& Config() const { return m_config; }
    void SetFaults(const Faults& faults);
    // Switches download mode at once and ends any restart in progress.
    void SetDownloadMode(bool on);
    // True while the device restarts (it answers nothing).
    bool Restarting(std::int64_t nowMs);
    bool DownloadMode(std::int64_t nowMs);

    // A snapshot: the counters and the responses still remembered.
    DeviceCounters Counters() const;
    const std::deque<FrameLogEntry>& Log() const { return m_log; }
    void ClearLog();
    void SetLogging(bool on) { m_logging = on; }
    DeviceState State(std::int64_t nowMs);

private:
    struct Answer {
        std::uint8_t status = 0;
        std::vector<std::uint8_t> payload;
        int version = 8;
        bool modeAtAnswer = false;  // the download-mode bit the answer carries
        unsigned workMs = 0;        // time the device needs before it can answer
    };
    // A firmware download in progress.
    struct Download {
        int protocol = 0;                 // 0 none, 16 whole file, 1 one section
        std::uint32_t size = 0;           // file size (16) or section length (1)
        std::vector<std::uint8_t> data;   // arrives in order: bytes [0, haveCount) are in
        std::uint64_t haveCount = 0;
        std::uint16_t flags = 0;          // protocol 16: the start record's flags
        bool cne = false;                 // protocol 1: the section is the configuration data
        std::uint32_t crc = 0, swid = 0, swVersion = 0;
        std::string date, time;
    };
    struct Image {
        std::uint32_t id = 0, version = 0;
        std::string date, time;
        bool hasCne = false;  // the file holds configuration data
    };
    struct Request {
        Mac host{};
        std::uint16_t label = 0;
        std::vector<std::uint8_t> payload;
        std::uint8_t kind = 0;
    };

    void ApplyRestart(std::int64_t nowMs);
    void StartRestart(std::int64_t atMs, bool intoDownloadMode, bool installImage = false);
    bool Authorized(const std::vector<RidBlock>& blocks) const;
    Answer Execute(const SnapFrame& request, const std::vector<RidBlock>& blocks, bool wellFormed,
                   std::int64_t answerMs);
    void ReadRid(std::uint16_t rid, std::vector<std::uint8_t>& out);
    void WriteRid(const RidBlock& block, Answer& answer, std::int64_t answerMs);
    // Firmware download records.
    void StartDownload16(const RidBlock& block, Answer& answer);
    void Chunk16(std::span<const std::uint8_t> payload, Answer& answer);
    void StartDownload1(const RidBlock& block, bool cne, Answer& answer);
    void Data1(std::span<const std::uint8_t> payload, Answer& answer);
    void EndDownload(const RidBlock& block, Answer& answer, std::int64_t answerMs);
    void StartImage(const RidBlock& block, Answer& answer, std::int64_t answerMs);
    void CountChunk();
    // The record a request carries, for the download faults.
    enum class Step { None, Start, Chunk, End, StartImage };
    static Step StepOf(std::uint8_t kind, const std::vector<std::uint8_t>& payload);
    // The refusal a download fault puts in place of carrying the request out;
    // nullopt when no fault strikes. Sets `ignore` when the request goes unanswered.
    std::optional<Answer> StepFaultAnswer(const SnapFrame& request, bool& ignore);
    // The RID a refused raw data frame is answered for: the open section's start record.
    std::uint16_t SectionRid() const;
    // Checks a whole downloaded file; the image it holds, or nullopt.
    static std::optional<Image> VerifyFile(const std::vector<std::uint8_t>& file);
    Profile* SelectedProfile();
    // Queues an outgoing frame unless a drop fault takes it.
    void Emit(std::vector<OutFrame>& out, std::int64_t dueMs, const Mac& to, std::uint8_t kind,
              std::uint16_t label, int version, std::uint8_t status, bool downloadBit,
              const std::vector<std::uint8_t>& payload, bool forceDrop = false);
    // The frames of the forging fault, in the victim's name.
    void Forge(std::vector<OutFrame>& out, std::int64_t dueMs, const Mac& to, std::uint16_t label, int version,
               const Mac& victim);
    std::vector<std::uint8_t> Frame(const Mac& to, std::uint8_t kind, std::uint16_t label, int version,
                                    std::uint8_t status, bool downloadBit,
                                    const std::vector<std::uint8_t>& payload) const;
    void LogFrame(const SnapFrame& f, bool outgoing, bool dropped, std::int64_t timeMs,
                  std::span<const std::uint8_t> bytes);
    bool Chance(double fraction);

    DeviceConfig m_config;
    DeviceCounters m_counters;  // everything but the responses, kept below
    // The responses sent, oldest first (a deque: dropping the oldest of a full
    // record costs nothing, where a vector would move every record per frame).
    std::deque<ResponseRecord> m_responses;
    std::deque<FrameLogEntry> m_log;
    bool m_logging = true;
    std::mt19937 m_rng;

    bool m_downloadMode = false;
    std::optional<std::int64_t> m_restartStartMs;  // silent from here ...
    std::int64_t m_restartDoneMs = 0;              // ... until here
    bool m_restartIntoDownload = false;
    bool m_restartInstall = false;

    Download m_download;
    std::optional<Image> m_pendingImage;  // verified, waiting to be started
    unsigned m_chunksThisDownload = 0;
    bool m_fellSilent = false;            // vanishAfterChunks or neverComesBack struck
    int m_speaksOnly = -1;                // restartsSpeakingVersion struck: the one version it understands
    bool m_cnePending = false;            // configuration data installed at the next restart
    unsigned m_dataRecords = 0;           // data records since the last start record, refused ones too
    // Which once-only download faults have struck.
    bool m_startFired = false, m_chunkFired = false, m_endFired = false, m_startImageFired = false;
    std::optional<Request> m_ignored;     // the record an Ignore fault swallowed (its re-sends too)

    int m_selectedProfile = -1;  // -1: the active profile
    unsigned m_acksToDrop = 0;

    // The request being re-sent (for answerOnAttempt) and the last one answered.
    Request m_current;
    unsigned m_currentCopies = 0;
    std::optional<Request> m_lastAnswered;
    Answer m_lastAnswer;
    std::int64_t m_lastAnswerDueMs = 0;
};

}  // namespace kvr::sim
