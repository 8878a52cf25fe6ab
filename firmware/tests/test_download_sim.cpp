// The .qfw check and the whole firmware download against simulated devices on
// a private virtual segment: bad files, stage faults of both protocols, and the
// chunk arithmetic at the size edges as the device saw it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>
#include <functional>
#include <map>
#include <set>
#include <utility>

#include "DownloadLanes.h"
#include "FirmwareDownload.h"
#include "QfwIntegrity.h"
#include "Rids.h"
#include "SimTestSupport.h"
#include "SkipSleepClock.h"
#include "TempDir.h"
#include "sim/QfwMaker.h"
#include "clsZarn.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
const kvr::sim::Mac kDev = devtest::SimMac(0x0F0001);

void PutLe(Bytes& b, std::size_t at, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
// Firmware 0x100.version for hardware 1 (version 1): the header, then the CNE
// section and Image1 when their lengths are given (-1: absent).
Bytes Qfw(long image1, long cne = -1, std::uint32_t version = 0x0300) {
    kvr::sim::QfwSpec spec;
    spec.swVersion = version;
    if (image1 >= 0) spec.image1 = kvr::sim::QfwFiller(static_cast<std::size_t>(image1), 1);
    if (cne >= 0) spec.cne = kvr::sim::QfwFiller(static_cast<std::size_t>(cne), 2);
    return kvr::sim::MakeQfw(spec);
}

// Before every frame the program reads, a response from another device with
// the label of the program's last request.
class StrangerLink : public kvr::SnapLink {
public:
    StrangerLink() : m_inner(kvr::CurrentSnapLink()) { kvr::SetSnapLink(this); }
    ~StrangerLink() override { kvr::SetSnapLink(nullptr); }
    bool Write(std::int32_t h, const std::string& d, std::int16_t v, std::uint8_t t, std::int16_t l, std::uint8_t dm,
               std::int16_t n, std::uint8_t m, Bytes& p) override {
        m_label = l;
        const auto rid = n >= 4 ? p[2] | (p[3] << 8) : 0;
        m_downloadFrame = (t & 7) == SNAP_KIND_FW_DATA || rid == RID_DOWNLOAD_QFW_CHUNK || rid == RID_START_QFW_DOWNLOAD;
        return m_inner.Write(h, d, v, t, l, dm, n, m, p);
    }
    bool Read(std::int32_t h, kvr::SnapFrame& f) override {
        if (m_downloadFrame && (m_toggle = !m_toggle)) {
            f = kvr::test::SimLink::Response("0007F5999999", m_label, {}, true);
            return true;
        }
        return m_inner.Read(h, f);
    }
    bool Open(const std::string& d, std::int32_t& h) override { return ++opens, m_inner.Open(d, h); }
    bool Close(std::int32_t h) override { return ++closes, m_inner.Close(h); }
    int opens = 0, closes = 0;  // the download owns its adapter through this link too

private:
    kvr::SnapLink& m_inner;
    std::int16_t m_label = 0;
    bool m_toggle = false;
    bool m_downloadFrame = false;  // a chunk or start record is in flight
};

// Runs a callback at the first DoEvents.
class Rewriter : public kvr::EventPump {
public:
    explicit Rewriter(std::function<void()> f) : m_f(std::move(f)) { kvr::SetEventPump(this); }
    ~Rewriter() override { kvr::SetEventPump(nullptr); }
    void DoEvents() override {
        if (m_f) std::exchange(m_f, nullptr)();
    }

private:
    std::function<void()> m_f;
};

// A progress bar that keeps every value it was set to.
struct BarHistory : kvr::MemoryProgressBar {
    void SetValue(long v) override {
        sets.push_back(v);
        MemoryProgressBar::SetValue(v);
    }
    std::vector<long> sets;
};

// Answers Retry `retries` times, then Cancel.
struct RetryingPrompter : kvr::test::RecordingPrompter {
    kvr::PromptAnswer Ask(const std::string& text, const std::string& title, kvr::PromptButtons b,
                          kvr::PromptIcon icon) override {
        RecordingPrompter::Ask(text, title, b, icon);
        barSetsAtAsk = bar ? bar->sets.size() : 0;
        return retries-- > 0 ? kvr::PromptAnswer::Retry : kvr::PromptAnswer::Cancel;
    }
    int retries = 0;
    const BarHistory* bar = nullptr;
    std::size_t barSetsAtAsk = 0;  // values the bar had been set to when the last question came
};

class FirmwareDownloadSim : public devtest::SimulatedSegments {
protected:
    void SetUp() override {
        SimulatedSegments::SetUp();
        if (IsSkipped()) return;
        G().AckTimeout = 0.2f;
    }
    void TearDown() override {
        kvr::SetClock(nullptr);
        SimulatedSegments::TearDown();
    }
    // One device, protocol 16 or 1, with `change` applied; the pool holds its segment.
    void StartDevice(bool v16, const std::function<void(kvr::sim::DeviceConfig&)>& change = {}) {
        auto d = devtest::SimDevice(0x0F0001, "Fw");
        d.v16Download = v16;
        d.restartMs = 0;
        d.eraseMs = 0;
        if (change) change(d);
        Start("a", {d});
        PoolAdapters({Nic("a")});
        kvr::SetClock(&m_clock);  // the adapter scan put the real clock back
    }
    TempDir m_files{"kvr-qfw"};
    std::string Write(const std::string& name, const Bytes& b) {
        const std::string path = m_files.Path() + "/" + name;
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
        return path;
    }
    bool Download(const std::string& path, bool imageOnly = false, bool staleMode = false) {
        auto z = std::make_shared<clsZarn>();
        z->IsInDownloadMode = staleMode;  // as an earlier discovery saw it
        z->MAC = kvr::sim::MacText(kDev);
        z->NICName = Nic("a");
        z->ProtocolVersion = 8;
        z->HardwareID = 1;
        z->HardwareVersion = 1;
        kvr::FirmwareDownload dl(z, m_mode, m_erase, m_upload);
        dl.SetUploadImageOnly(imageOnly);
        dl.SetWaits({3000, 1500, 2000});
        const bool ok = dl.PerformDownload(path);
        m_versionAfter = dl.VersionAfter();
        m_matches = dl.VersionMatchesFile();
        return ok;
    }
    // Payloads of the download records the device received (re-sends once), in order.
    std::vector<Bytes> Received(std::uint8_t kind, std::uint16_t rid = 0) {
        std::vector<Bytes> out;
        std::set<std::uint16_t> labels;
        for (const auto& f : Sim("a").FrameLog(kDev)) {
            if (f.outgoing || f.dropped || f.kind != kind || !labels.insert(f.label).second) continue;
            Bytes p(f.bytes.begin() + 36, f.bytes.begin() + 36 + (f.bytes[28] | (f.bytes[29] << 8)));
            if (rid == 0 || (p.size() >= 4 && (p[2] | (p[3] << 8)) == rid)) out.push_back(p);
        }
        return out;
    }
    std::vector<std::string> Questions() const {
        std::vector<std::string> q;
        for (const auto& x : m_prompter.questions) q.push_back(x.text);
        return q;
    }
    // Pauses pass at once and real time runs ten times faster: the download's
    // time-outs (an ignored chunk, a device that never comes back) are waited
    // out in a tenth of their time, and answers still come within it.
    kvr::test::SkipSleepClock m_clock{10};
    kvr::test::LogRecorder m_log;
    RetryingPrompter m_prompter;
    kvr::MemoryProgressBar m_mode, m_erase;
    BarHistory m_upload;
    std::string m_versionAfter;
    bool m_matches = false;
};

TEST_F(FirmwareDownloadSim, BadFilesAreRefusedWithTheirTextAndNothingIsSent) {
    StartDevice(true);
    struct Row {
        const char* name;
        std::function<std::string()> file;
        bool checkPasses;
        const char* logged;
    };
    auto bytes = [this](const char* n, std::function<Bytes()> f) {
        return [this, n, f] { return Write(n, f()); };
    };
    auto sized = [this](const char* n, off_t size) {
        return [this, n, size] {
            std::string p = Write(n, Qfw(100));
            EXPECT_EQ(::truncate(p.c_str(), size), 0);
            return p;
        };
    };
    const Row rows[] = {
        {"missing", [this] { return m_files.Path() + "/none.qfw"; }, false, "none.qfw' does not exist!"},
        {"empty", bytes("e.qfw", [] { return Bytes{}; }), false, "e.qfw' is 0."},
        {"one byte", bytes("o.qfw", [] { return Bytes{'q'}; }), false, "o.qfw contains no images!"},
        {"header only", bytes("h.qfw", [] { return Bytes(Qfw(-1)); }), false, "h.qfw contains no images!"},
        {"truncated", bytes("t.qfw", [] { Bytes b = Qfw(1000); b.resize(1050); return b; }), false,
         "Failed Image1 CRC calculation (calculated=0x"},
        {"over-long section", bytes("l.qfw", [] { Bytes b = Qfw(100); PutLe(b, 0x38, 196); return b; }), false,
         ": Image1 length parameter exceeds file size! (len=196, size=196)"},
        {"negative length", bytes("n.qfw", [] { Bytes b = Qfw(100, 10); PutLe(b, 0x38, 0xFFFFFFF0); return b; }),
         false, "Error #9: Subscript out of range in VerifyQfwIntegrity"},
        {"negative offset", bytes("no.qfw", [] { Bytes b = Qfw(100, 10); PutLe(b, 0x30, 0xFFFFFFF0); return b; }),
         false, "Error #63: Bad record number in VerifyQfwIntegrity"},
        {"named pipe", [this] { EXPECT_EQ(::mkfifo((m_files.Path() + "/p.qfw").c_str(), 0600), 0); return m_files.Path() + "/p.qfw"; },
         false, "p.qfw' is not a regular file!"},
        {"CRC corrupt", bytes("c.qfw", [] { Bytes b = Qfw(100, 40); b[120] ^= 1; return b; }), false,
         "Failed CNE CRC calculation (calculated=0x"},
        {"2 GB size", sized("2g.qfw", off_t{1} << 31), false, "2g.qfw' is waaay to large!  (size > 2GB)"},
        {"4 GB size", sized("4g.qfw", (off_t{1} << 32) + 5), false, "4g.qfw' is waaay to large!  (size > 1 * 4GB)"},
        {"wrong magic", bytes("m.qfw", [] { Bytes b = Qfw(100); b[3] = 'w'; return b; }), true,
         "PerformDownload: the file has no QFW signature!"},
        {"image-only with CNE only", bytes("x.qfw", [] { return Qfw(-1, 200); }), true,
         "'upload image only' is set."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string path = row.file();
        m_log.lines.clear();
        EXPECT_EQ(kvr::VerifyQfwIntegrity(path), row.checkPasses);
        m_prompter.questions.clear();
        Sim("a").ClearLogs();
        EXPECT_FALSE(Download(path, true));
        EXPECT_FALSE(m_log.Find(row.logged, kvr::LEVEL_ERROR).empty()) << m_log.Dump();
        EXPECT_EQ(m_log.CountContaining(": : "), 0u) << "one separator after the procedure name\n" << m_log.Dump();
        EXPECT_EQ(Questions(), std::vector<std::string>{"The data file is not valid!"});
        EXPECT_TRUE(Sim("a").FrameLog(kDev).empty()) << "nothing goes to the device";
    }
}

TEST_F(FirmwareDownloadSim, StageFaultsOfBothProtocols) {
    using kvr::sim::StepFault;
    using A = StepFault::Action;
    struct Expect {
        bool ok;
        std::uint32_t runs;  // the firmware the device runs afterwards
        const char* after;   // VersionAfter
        std::vector<std::string> asked;
        long restoredTo = -1;  // the upload bar's value set first after a Retry of the upload
    };
    struct Row {
        const char* name;
        std::function<void(kvr::sim::Faults&)> fault;
        Expect e16, e1;
        int retries = 0;        // Retry answers the user gives before Cancel
        bool stranger = false;
        bool rewriteFile = false;  // the file changes on disk once it has been read and checked
        bool staleMode = false;    // the device object says download mode, the device is in its application
    };
    const std::string mode = "Cannot set the Zarn Adapter in download mode. Do you want to retry?";
    const std::string lost = "Lost KVR after commanding the device to enter download mode!";
    const std::string start = "Error to initiate download. Do you want to retry?";
    const std::string upload = "Error during uploading the image. Do you want to retry?";
    const std::string restart = "Failed to start newly-downloaded image.  Do you want to retry?";
    const Expect done{true, 0x300, "256.768", {}}, notBack{true, 0x300, "", {}};
    const Row rows[] = {
        {"well-behaved, flags and identity checked",
         [](auto& f) { f.checksDownloadFlags = f.checksStartIdentity = true; }, done, done},
        {"another device answers too", {}, done, done, 0, true},
        {"file rewritten meanwhile", {}, done, done, 0, false, true},
        {"never enters download mode", [](auto& f) { f.neverEntersDownloadMode = true; },
         {false, 0x203, "", {mode, lost}}, {false, 0x203, "", {mode, lost}}},
        {"refuses the start record once, user retries", [](auto& f) { f.startRecord = {A::Refuse, false, 5}; },
         {true, 0x300, "256.768", {start}}, {true, 0x300, "256.768", {start}}, 1},
        {"refuses the start record", [](auto& f) { f.startRecord = {A::Refuse, true, 5}; },
         {false, 0x203, "", {start, upload}}, {false, 0x203, "", {start, upload}}},
        {"refuses chunk 3", [](auto& f) { f.chunk = {A::Refuse, true, 5}; f.chunkAt = 3; },
         {false, 0x203, "", {upload}}, {false, 0x203, "", {upload}}},
        {"ignores chunk 2 once, user retries", [](auto& f) { f.chunk = {A::Ignore, false, 5}; f.chunkAt = 2; },
         {true, 0x300, "256.768", {upload}, 0}, {true, 0x300, "256.768", {upload}, 2}, 1},
        {"vanishes after 2 chunks", [](auto& f) { f.vanishAfterChunks = 2; },
         {false, 0x203, "", {upload}}, {false, 0x203, "", {upload}}},
        {"refuses the end record", [](auto& f) { f.endRecord = {A::Refuse, true, 5}; },
         {false, 0x203, "", {upload}}, {false, 0x203, "", {upload}}},
        {"refuses start-image", [](auto& f) { f.startImage = {A::Refuse, true, 5}; },
         {true, 0x203, "", {restart}}, done},
        {"restarts into download mode", [](auto& f) { f.restartsIntoDownloadMode = true; },
         {true, 0x203, "", {}}, {true, 0x203, "", {}}},
        {"never comes back", [](auto& f) { f.neverComesBack = true; }, notBack, notBack},
        {"comes back with the old identity", [](auto& f) { f.comesBackWithOldIdentity = true; },
         {true, 0x203, "256.515", {}}, {true, 0x203, "256.515", {}}},
        {"comes back speaking SNAP version 0", [](auto& f) { f.restartsSpeakingVersion = 0; }, done, done},
        {"stale download mode, user retries", {}, {true, 0x300, "256.768", {mode}}, {true, 0x300, "256.768", {mode}},
         1, false, false, true},
    };
    for (bool v16 : {true, false}) {
        for (const auto& row : rows) {
            SCOPED_TRACE(std::string(row.name) + (v16 ? " / protocol 16" : " / protocol 1"));
            StartDevice(v16, [&](auto& d) { if (row.fault) row.fault(d.faults); });
            const Expect& e = v16 ? row.e16 : row.e1;
            std::unique_ptr<StrangerLink> stranger;
            if (row.stranger) stranger = std::make_unique<StrangerLink>();
            m_prompter.questions.clear();
            m_prompter.retries = row.retries;
            m_prompter.bar = &m_upload;
            m_upload.sets.clear();
            m_log.lines.clear();
            const std::string path = Write("f.qfw", Qfw(5000, 700));
            Rewriter rewriter([&] { if (row.rewriteFile) Write("f.qfw", Qfw(4000, 900, 0x0400)); });
            EXPECT_EQ(Download(path, false, row.staleMode), e.ok);
            EXPECT_EQ(Questions(), e.asked);
            EXPECT_EQ(Sim("a").State(kDev).firmwareVersion, e.runs);
            EXPECT_EQ(m_versionAfter, e.after);
            EXPECT_EQ(m_matches, std::string(e.after) == "256.768");
            const bool mismatch = *e.after && !m_matches;
            EXPECT_EQ(m_log.Find("not the file's 256.768!", kvr::LEVEL_ERROR).size(), mismatch ? 1u : 0u);
            EXPECT_EQ(m_log.Find("the firmware version it runs is unknown.").size(), e.ok && !*e.after ? 1u : 0u);
            // Besides the capability probe nothing is read from the device itself: its
            // firmware after the restart is in the discovery answer that ended the wait.
            std::set<std::uint16_t> reads;
            for (const auto& f : Sim("a").FrameLog(kDev))
                if (!f.outgoing && f.kind == SNAP_KIND_READ_REQUEST && f.bytes[0] != 0x01) reads.insert(f.label);
            EXPECT_LE(reads.size(), 1u);
            EXPECT_FALSE(G().DownloadInProgress);
            if (stranger) { EXPECT_EQ(stranger->opens, 1); EXPECT_EQ(stranger->closes, 1); }
            if (e.restoredTo >= 0) {
                ASSERT_LT(m_prompter.barSetsAtAsk, m_upload.sets.size());
                EXPECT_EQ(m_upload.sets[m_prompter.barSetsAtAsk], e.restoredTo);
            }
            Sim("a").Stop();
        }
    }
}

TEST_F(FirmwareDownloadSim, ChunksCountWordsAndProgressAtTheSizeEdges) {
    struct Row {
        bool v16;
        long size;  // protocol 16: whole file; protocol 1: Image1
        std::vector<std::size_t> chunks;
        bool remainingBug;
        long barMax;
    };
    const Row rows[] = {
        {true, 1441, {1441}, false, 1},          {true, 1442, {1442}, true, 1},
        {true, 1443, {1442, 1}, false, 1},       {true, 2884, {1442, 1442}, true, 2},
        {true, 2898, {1442, 1442, 14}, false, 2}, {true, 4326, {1442, 1442, 1442}, true, 3},
        {true, 4346, {1442, 1442, 1442, 20}, false, 3},
        {false, 0, {}, true, 2},                 {false, 1, {1}, false, 3},
        {false, 1449, {1449}, false, 4},         {false, 1450, {1450}, true, 4},
        {false, 1451, {1450, 1}, false, 4},      {false, 2898, {1450, 1448}, false, 4},
        {false, 2900, {1450, 1450}, true, 5},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE((row.v16 ? "protocol 16, file of " : "protocol 1, image of ") + std::to_string(row.size));
        StartDevice(row.v16);
        m_log.lines.clear();
        ASSERT_TRUE(Download(Write("s.qfw", Qfw(row.v16 ? row.size - 96 : row.size))));
        std::vector<std::size_t> sizes;
        if (row.v16) {
            for (const auto& p : Received(SNAP_KIND_WRITE_REQUEST, RID_DOWNLOAD_QFW_CHUNK)) {
                const std::size_t n = p[8] | (p[9] << 8);
                EXPECT_EQ(p[0] | (p[1] << 8), static_cast<int>((n + 8) / 2)) << "count word";
                EXPECT_EQ(p.size(), 10 + n);
                sizes.push_back(n);
            }
        } else {
            for (const auto& p : Received(SNAP_KIND_FW_DATA)) sizes.push_back(p.size());
        }
        EXPECT_EQ(sizes, row.chunks);
        EXPECT_EQ(m_log.Find("remaining_data bug encountered", kvr::LEVEL_WARNING).size(), row.remainingBug ? 1u : 0u);
        EXPECT_EQ(m_upload.Max(), row.barMax);
        EXPECT_TRUE(m_matches);
        Sim("a").Stop();
    }
}

}  // namespace

namespace {

// Fleets on one segment, downloaded one after the other (each device alone) and
// then in lanes at once: every device ends as it does alone, receives exactly
// the requests it receives alone, and every ACK the host sends a device answers
// a frame that device sent. Kinds: c clean, r refuses its third chunk, v falls
// silent after five chunks, o comes back running its old firmware, l loses a
// tenth of the frames the host sends it, d the device before it listed again
// (two devices with one MAC are worked on one after the other), a answers in
// the name of the device before it (the SNAP header names that device), s
// sends with the Ethernet source of the device before it (the header names
// itself), f forges, before each of its answers, a cut-short frame and a
// refusing ACK and response with its label in the name of the device before it.
class FleetDownloadSim : public devtest::SimulatedSegments {
protected:
    TempDir m_files{"kvr-fleet"};
    struct Outcome {
        bool ok = false;
        std::string versionAfter;
        bool operator==(const Outcome&) const = default;
    };
    // Request frames the device received (kind and payload), in order, each label once.
    static std::vector<Bytes> Requests(kvr::sim::Simulator& sim, const kvr::sim::Mac& mac) {
        std::vector<Bytes> out;
        std::set<std::uint16_t> labels;
        for (const auto& f : sim.FrameLog(mac)) {
            if (f.outgoing || f.dropped || f.kind == SNAP_KIND_ACK || (f.bytes[0] & 0x01)) continue;
            if (!labels.insert(f.label).second) continue;
            Bytes p(f.bytes.begin() + 36, f.bytes.begin() + 36 + (f.bytes[28] | (f.bytes[29] << 8)));
            p.insert(p.begin(), f.kind);
            out.push_back(std::move(p));
        }
        return out;
    }
    // The firmware file every fleet row downloads.
    std::string FleetFile() {
        const std::string file = m_files.Path() + "/fleet.qfw";
        const Bytes qfw = Qfw(30000);
        std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(qfw.data()), static_cast<std::streamsize>(qfw.size()));
        return file;
    }
    std::vector<Outcome> Run(const std::string& tag, const std::string& kinds, int parallel, const std::string& file,
                             const std::function<void()>& meanwhile = {}) {
        std::vector<kvr::sim::DeviceConfig> configs;
        std::vector<std::shared_ptr<clsZarn>> devices;
        for (std::size_t i = 0; i < kinds.size(); ++i) {
            auto d = devtest::SimDevice(0x0F1000 + static_cast<unsigned>(i - (kinds[i] == 'd')), "Fleet");
            d.restartMs = 0;
            d.eraseMs = 0;
            kvr::sim::Faults& f = d.faults;
            if (kinds[i] == 'r') f.chunk = {kvr::sim::StepFault::Action::Refuse, false, 6}, f.chunkAt = 3;
            if (kinds[i] == 'v') f.vanishAfterChunks = 5;
            if (kinds[i] == 'o') f.comesBackWithOldIdentity = true;
            if (kinds[i] == 'l') f.dropInFraction = 0.1, f.seed = 7;
            const kvr::sim::Mac before = devtest::SimMac(0x0F1000 + static_cast<unsigned>(i) - 1);
            // Answers in the name of a device outside the fleet: one inside would race
            // that device's own answers during its restart wait.
            if (kinds[i] == 'a') f.answersFor = devtest::SimMac(0x0F2000 + static_cast<unsigned>(i));
            if (kinds[i] == 's') f.sendsFrom = before;
            if (kinds[i] == 'f') f.forgesFor = before;
            if (kinds[i] != 'd') configs.push_back(d);
            auto z = std::make_shared<clsZarn>();
            z->MAC = kvr::sim::MacText(d.mac);
            z->NICName = Nic(tag);
            z->ProtocolVersion = 8;
            z->HardwareID = 1;
            z->HardwareVersion = 1;
            devices.push_back(z);
        }
        Start(tag, configs);
        PoolAdapters({Nic(tag)});
        std::vector<Outcome> outcomes(kinds.size());
        std::thread side;
        if (meanwhile) side = std::thread(meanwhile);
        kvr::RunInLanes(devices, {parallel, {}}, [&](std::size_t i) {
            kvr::test::SkipSleepClock clock{10};
            const kvr::ThreadSeams seams(parallel > 1 ? &clock : nullptr, nullptr, nullptr);
            kvr::MemoryProgressBar mode, erase, upload;
            kvr::FirmwareDownload dl(devices[i], mode, erase, upload);
            dl.SetWaits({3000, 1500, 2000});
            outcomes[i].ok = dl.PerformDownload(file);
            outcomes[i].versionAfter = dl.VersionAfter();
        });
        if (side.joinable()) side.join();
        return outcomes;
    }
};

// The segment is removed while four devices download at once: each device
// ends with a failure of its own, the adapter's reader says once that reads
// keep failing, and the run ends.
TEST_F(FleetDownloadSim, AdapterRemovedMidRunEndsEveryDeviceWithAFailure) {
    kvr::test::SkipSleepClock clock{10};
    kvr::SetClock(&clock);
    const std::string file = FleetFile();
    kvr::test::LogRecorder log;
    const kvr::sim::Mac first = devtest::SimMac(0x0F1000);
    const auto outcomes = Run("gone", "cccc", 4, file, [&] {
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (Sim("gone").Counters(first).chunksReceived < 3 && std::chrono::steady_clock::now() < give_up)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_GE(Sim("gone").Counters(first).chunksReceived, 3u) << "the download never got under way";
        Sim("gone").Stop();
        std::filesystem::remove_all(std::string(std::getenv("KVR_SEGMENT_DIR")) + "/" + Segment("gone"));
    });
    for (const auto& o : outcomes) EXPECT_EQ(o, Outcome{}) << o.versionAfter;
    EXPECT_EQ(log.CountContaining("keep failing"), 1u) << log.Dump();
}

TEST_F(FleetDownloadSim, DevicesDownloadedAtOnceEndAndExchangeAsEachAlone) {
    kvr::test::SkipSleepClock clock{10};
    kvr::SetClock(&clock);
    const std::string file = FleetFile();
    struct Row {
        std::string kinds;
        int parallel;
    };
    const Row rows[] = {{"ccc", 3},    {"crvol", 5},  {"clcrcv", 2}, {"oolvvr", 8},
                        {"cdcd", 4},   {"cacs", 4},   {"cfcf", 4},   {"lfsa", 2}};
    int n = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.kinds + " at " + std::to_string(row.parallel));
        const std::string alone = "s" + std::to_string(n), together = "p" + std::to_string(n++);
        const auto expected = Run(alone, row.kinds, 1, file);
        kvr::test::LogRecorder log;
        const auto outcomes = Run(together, row.kinds, row.parallel, file);
        for (std::size_t i = 0; i < row.kinds.size(); ++i) {
            SCOPED_TRACE(std::string("device ") + std::to_string(i) + " kind " + row.kinds[i]);
            const char kind = row.kinds[i];
            const bool fails = kind == 'r' || kind == 'v' || kind == 'a';
            EXPECT_EQ(outcomes[i].ok, !fails);
            EXPECT_EQ(outcomes[i].versionAfter, kind == 'o' ? "256.515" : fails ? "" : "256.768");
            EXPECT_EQ(outcomes[i], expected[i]);
            if (kind == 'd') continue;  // its frames are the device's before it
            const kvr::sim::Mac mac = devtest::SimMac(0x0F1000 + static_cast<unsigned>(i));
            // Each label once: a request the ACK time-out re-sent is the same exchange.
            const auto requests = Requests(Sim(together), mac);
            EXPECT_TRUE(requests == Requests(Sim(alone), mac)) << requests.size() << " requests";
            // Frames on the wire in this device's name (the header's sender), by
            // label, from whichever station, against the ACKs it got.
            std::map<std::uint16_t, int> sent, acks;
            for (std::size_t j = 0; j < row.kinds.size(); ++j) {
                if (row.kinds[j] == 'd') continue;
                for (const auto& f : Sim(together).FrameLog(devtest::SimMac(0x0F1000 + static_cast<unsigned>(j))))
                    if (f.outgoing && f.kind != SNAP_KIND_ACK && std::equal(mac.begin(), mac.end(), f.bytes.begin() + 30))
                        ++sent[f.label];
            }
            for (const auto& f : Sim(together).FrameLog(mac))
                if (!f.outgoing && f.kind == SNAP_KIND_ACK) ++acks[f.label];
            for (const auto& [label, count] : acks) EXPECT_LE(count, sent[label]) << "ACKs for label " << label;
            const std::string tag = "[" + kvr::sim::MacText(mac) + "] ";
            EXPECT_GT(log.CountPrefix(tag), 0u);
        }
        for (const auto& line : log.lines) {
            EXPECT_TRUE(line.module != "frmFirmwareWizard" || line.message.rfind("[", 0) == 0) << line.message;
        }
    }
}

}  // namespace
