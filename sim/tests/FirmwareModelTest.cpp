// Firmware downloads into the device model: the whole-file protocol with
// numbered chunks, and the older per-section protocol with raw data frames.
#include <gtest/gtest.h>

#include <algorithm>

#include "firmware/QfwHeader.h"
#include "sim/DeviceModel.h"
#include "sim/DeviceOptions.h"
#include "sim/QfwMaker.h"
#include "sim/tests/TestWire.h"

using namespace simtest;
using kvr::sim::DeviceConfig;
using kvr::sim::DeviceModel;

namespace {

const Mac kDev{0x00, 0x07, 0xF5, 0x0F, 0x00, 0x01};

std::uint32_t TestCrc(const Bytes& b, std::size_t from, std::size_t n) {
    std::uint32_t crc = 0xFFFFFFFF;
    for (std::size_t i = from; i < from + n; ++i) {
        crc ^= b[i];
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320 : crc >> 1;
    }
    return ~crc;
}

void PutLe(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A firmware file: 96-byte header, then one image of `imageBytes` bytes.
Bytes QfwFile(std::size_t imageBytes, std::uint32_t swid, std::uint32_t swVersion) {
    Bytes f(96 + imageBytes, 0);
    const char* magic = "qFoW";
    for (int i = 0; i < 4; ++i) f[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(magic[i]);
    const std::string date = "20270315", time = "08300000";
    for (std::size_t i = 0; i < 8; ++i) {
        f[8 + i] = static_cast<std::uint8_t>(date[i]);
        f[16 + i] = static_cast<std::uint8_t>(time[i]);
    }
    PutLe(f, 0x18, swid);
    PutLe(f, 0x1C, swVersion);
    for (std::size_t i = 0; i < imageBytes; ++i) f[96 + i] = static_cast<std::uint8_t>(i * 7 + 3);
    PutLe(f, 0x30, 96);
    PutLe(f, 0x38, static_cast<std::uint32_t>(imageBytes));
    PutLe(f, 0x3C, TestCrc(f, 96, imageBytes));
    return f;
}

class FirmwareModel : public ::testing::Test {
protected:
    FirmwareModel() : m_model(Make()) {}
    static DeviceConfig Make() {
        DeviceConfig c;
        c.mac = kDev;
        c.downloadMode = true;
        c.restartMs = 1000;
        c.eraseMs = 700;
        return c;
    }
    std::vector<Seen> Write(const Bytes& payload, std::int64_t at = 0, std::uint8_t type = 1) {
        std::vector<Seen> v;
        for (const auto& o : m_model.OnFrame(HostFrame(kDev, 8, type, m_label++, payload), at)) v.push_back(Read(o.bytes));
        return v;
    }
    // The chunk record as the host builds it: count (n + 8) \ 2, offset, n, bytes.
    static Bytes ChunkRecord(const Bytes& file, std::size_t offset, std::size_t n) {
        Payload p;
        p.Word(static_cast<std::uint16_t>((n + 8) / 2)).Word(0x0122).Long(static_cast<std::uint32_t>(offset));
        p.Word(static_cast<std::uint16_t>(n));
        p.bytes.insert(p.bytes.end(), file.begin() + static_cast<long>(offset), file.begin() + static_cast<long>(offset + n));
        return p.bytes;
    }
    void SendWholeFile(const Bytes& file) {
        Payload start;
        start.Word(4).Word(0x0121).Long(static_cast<std::uint32_t>(file.size())).Word(1);
        auto s = Write(start.bytes);
        ASSERT_EQ(s.size(), 2u);
        EXPECT_TRUE(s[0].DownloadBit() && s[1].DownloadBit());
        EXPECT_TRUE(s[1].payload.empty()) << "start accepted";
        for (std::size_t off = 0; off < file.size(); off += 1442) {
            std::size_t n = std::min<std::size_t>(1442, file.size() - off);
            auto c = Write(ChunkRecord(file, off, n));
            ASSERT_EQ(c.size(), 2u);
            EXPECT_EQ(c[1].status, 0);
            EXPECT_TRUE(c[1].payload.empty()) << "chunk at " << off << " refused";
        }
    }
    std::uint16_t m_label = 2;
    DeviceModel m_model;
};

}  // namespace

TEST(FirmwareChecksum, TestCrcMatchesTheCatalogueValue) {
    Bytes check{'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(TestCrc(check, 0, check.size()), 0xCBF43926u);
}

TEST_F(FirmwareModel, WholeFileWithAnOddLastChunkIsInstalledAtStartImage) {
    Bytes file = QfwFile(3000 - 96 + 1, 0x0200, 0x0307);  // 3001 bytes: chunks of 1442, 1442, 117
    ASSERT_EQ(file.size() % 2, 1u);
    // The start record's answer waits for the memory to be prepared.
    Payload start;
    start.Word(4).Word(0x0121).Long(static_cast<std::uint32_t>(file.size())).Word(1);
    auto outs = m_model.OnFrame(HostFrame(kDev, 8, 1, m_label++, start.bytes), 5000);
    ASSERT_EQ(outs.size(), 2u);
    EXPECT_EQ(outs[0].dueMs, 5000);
    EXPECT_EQ(outs[1].dueMs, 5700);
    // A re-send while the memory is prepared is acknowledged at once, answered no earlier.
    auto resent = m_model.OnFrame(HostFrame(kDev, 8, 1, static_cast<std::uint16_t>(m_label - 1), start.bytes), 5300);
    ASSERT_EQ(resent.size(), 2u);
    EXPECT_EQ(resent[0].dueMs, 5300);
    EXPECT_EQ(resent[1].dueMs, 5700);
    m_model.SetDownloadMode(true);
    SendWholeFile(file);
    EXPECT_EQ(m_model.State(0).downloadBytes, file.size());
    auto end = Write(Payload().Word(0x0049, 0).bytes, 100);
    ASSERT_EQ(end.size(), 2u);
    EXPECT_TRUE(end[1].payload.empty()) << "complete and intact";
    EXPECT_EQ(m_model.Counters().downloadsCompleted, 1u);
    EXPECT_EQ(m_model.State(100).firmwareId, 0x0100u) << "not before the image is started";
    auto go = Write(Payload().Word(3).Word(0x0048).Long(0).bytes, 200);
    ASSERT_EQ(go.size(), 2u);
    EXPECT_TRUE(go[1].DownloadBit());
    EXPECT_TRUE(m_model.Restarting(300));
    auto st = m_model.State(1300);
    EXPECT_FALSE(st.downloadMode);
    EXPECT_EQ(st.firmwareId, 0x0200u);
    EXPECT_EQ(st.firmwareVersion, 0x0307u);
    EXPECT_EQ(st.firmwareDate, "20270315");
    EXPECT_EQ(st.firmwareTime, "08300000");
}

TEST_F(FirmwareModel, CorruptOrIncompleteFilesAreRefusedAndTheOldFirmwareStays) {
    Bytes file = QfwFile(2000, 0x0200, 0x0400);
    file[500] ^= 0xFF;  // the image no longer matches its checksum
    SendWholeFile(file);
    auto end = Write(Payload().Word(0x0049, 0).bytes);
    EXPECT_EQ(ErrorCode(end[1].payload, 0x0049), kvr::sim::kRefuseBadValue);
    (void)Write(Payload().Word(3).Word(0x0048).Long(0).bytes, 0);
    EXPECT_EQ(m_model.State(5000).firmwareId, 0x0100u);

    m_model.SetDownloadMode(true);
    Bytes good = QfwFile(3000, 0x0200, 0x0400);
    Payload start;
    start.Word(4).Word(0x0121).Long(static_cast<std::uint32_t>(good.size())).Word(1);
    (void)Write(start.bytes, 6000);
    (void)Write(ChunkRecord(good, 0, 1442), 6000);  // the rest never comes
    auto end2 = Write(Payload().Word(0x0049, 0).bytes, 6000);
    EXPECT_EQ(ErrorCode(end2[1].payload, 0x0049), kvr::sim::kRefuseBadValue);
    EXPECT_EQ(m_model.Counters().downloadsFailed, 2u);
    // A chunk outside the announced size is refused.
    (void)Write(start.bytes, 6000);
    auto wild = Write(ChunkRecord(good, 0, 1442), 6000);
    EXPECT_TRUE(wild[1].payload.empty());
    Bytes beyond = ChunkRecord(good, 0, 100);
    beyond[4] = 0xF0;  // offset 0x..F0 past the end
    beyond[6] = 0x01;
    auto w = Write(beyond, 6000);
    EXPECT_EQ(ErrorCode(w[1].payload, 0x0122), kvr::sim::kRefuseBadValue);
}

TEST_F(FirmwareModel, RecordsOutsideDownloadModeOrReSentAreHandledSafely) {
    m_model.SetDownloadMode(false);
    Payload start;
    start.Word(4).Word(0x0121).Long(1000).Word(1);
    auto s = Write(start.bytes);
    ASSERT_EQ(s.size(), 2u);
    EXPECT_FALSE(s[1].DownloadBit());
    EXPECT_EQ(ErrorCode(s[1].payload, 0x0121), kvr::sim::kRefuseNotNow);
    auto img = Write(Payload().Word(3).Word(0x0048).Long(0).bytes);
    EXPECT_EQ(ErrorCode(img[1].payload, 0x0048), kvr::sim::kRefuseNotNow);

    m_model.SetDownloadMode(true);
    Bytes file = QfwFile(1442 * 2, 1, 1);
    (void)Write(Payload().Word(4).Word(0x0121).Long(static_cast<std::uint32_t>(file.size())).Word(1).bytes);
    Bytes first = HostFrame(kDev, 8, 1, 0x300, ChunkRecord(file, 0, 1442));
    (void)m_model.OnFrame(first, 0);
    auto again = m_model.OnFrame(first, 10);  // a re-send after a lost ACK
    EXPECT_EQ(again.size(), 2u) << "answered again";
    EXPECT_EQ(m_model.Counters().chunksReceived, 1u) << "carried out once";
}

TEST_F(FirmwareModel, SectionDownloadWithRawDataFramesRestartsIntoTheImage) {
    Bytes image(3000);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i ^ 0x5A);
    Bytes cne(700, 0xC3);
    auto startRecord = [&](bool isCne, const Bytes& section) {
        Payload p;
        p.Word(isCne ? 23 : 21).Word(isCne ? 0x0029 : 0x0021);
        if (isCne) p.Long(0x454E4300);
        for (char ch : std::string("2027031508300000")) p.bytes.push_back(static_cast<std::uint8_t>(ch));
        p.Long(0x0300).Long(0x0009).Word(1).Word(2).Long(0);
        p.Long(static_cast<std::uint32_t>(section.size())).Long(TestCrc(section, 0, section.size()));
        return p.bytes;
    };
    auto sendSection = [&](bool isCne, const Bytes& section) {
        auto s = Write(startRecord(isCne, section));
        ASSERT_EQ(s.size(), 2u);
        EXPECT_TRUE(s[1].payload.empty());
        for (std::size_t off = 0; off < section.size(); off += 1450) {
            std::size_t n = std::min<std::size_t>(1450, section.size() - off);
            auto d = Write(Bytes(section.begin() + static_cast<long>(off), section.begin() + static_cast<long>(off + n)), 0, 4);
            ASSERT_EQ(d.size(), 2u);
            EXPECT_EQ(d[0].Kind(), 3);
            EXPECT_EQ(d[1].status, 0);
        }
        auto over = Write(Bytes{1, 2, 3}, 0, 4);
        EXPECT_EQ(over[1].status, 0x01) << "more bytes than the section announced";
        EXPECT_EQ(ErrorCode(over[1].payload, isCne ? 0x0029 : 0x0021), kvr::sim::kRefuseBadValue);
        auto e = Write(Payload().Word(0x0049, 0).bytes, 50);
        EXPECT_TRUE(e[1].payload.empty());
    };
    sendSection(true, cne);
    EXPECT_TRUE(m_model.DownloadMode(60)) << "configuration data alone does not restart the device";
    sendSection(false, image);
    EXPECT_TRUE(m_model.Restarting(60));
    auto st = m_model.State(2000);
    EXPECT_FALSE(st.downloadMode);
    EXPECT_EQ(st.firmwareId, 0x0300u);
    EXPECT_EQ(st.firmwareVersion, 0x0009u);
    EXPECT_EQ(m_model.Counters().downloadsCompleted, 2u);
}

TEST_F(FirmwareModel, DeviceThatVanishesMidDownload) {
    DeviceConfig c = Make();
    c.faults.vanishAfterChunks = 2;
    DeviceModel m(c);
    Bytes file = QfwFile(1442 * 4, 1, 1);
    std::uint16_t label = 2;
    auto send = [&](const Bytes& p) { return m.OnFrame(HostFrame(kDev, 8, 1, label++, p), 0).size(); };
    EXPECT_EQ(send(Payload().Word(4).Word(0x0121).Long(static_cast<std::uint32_t>(file.size())).Word(1).bytes), 2u);
    EXPECT_EQ(send(ChunkRecord(file, 0, 1442)), 2u);
    EXPECT_EQ(send(ChunkRecord(file, 1442, 1442)), 2u);
    EXPECT_EQ(send(ChunkRecord(file, 2884, 1442)), 0u);
    EXPECT_EQ(m.OnFrame(HostFrame(kGroup, 8, 0, label++, DiscoveryPayload()), 0).size(), 0u);
}

namespace {

// One download fault per row: the whole upgrade as the host runs it (download
// mode, start record, data records, end record, start-image; a failed attempt
// ends with end record 1 and is tried once more), then the device's state.
// flags: the start record's, -1 as the host sets them; withCne: the file holds configuration data;
// expect: first failure (step:code|ignored), ok@attempt|failed, mode, firmware, answers, profiles.
struct FaultRow { const char* options; int protocol; bool imageOnly; int flags; bool withCne; const char* expect; };

const FaultRow kFaultRows[] = {
    {"", 16, false, -1, true, "- ok@1 app new answers profiles=3"},
    {"", 1, false, -1, true, "- ok@1 app new answers profiles=3"},
    {"no-download-mode=1", 16, false, -1, true, "mode failed app old answers profiles=3"},
    {"fail-start=refuse:6", 16, false, -1, true, "start:6 ok@2 app new answers profiles=3"},
    {"fail-start=ignore", 1, false, -1, true, "start:ignored ok@2 app new answers profiles=3"},
    {"fail-chunk=3:refuse:always", 16, false, -1, true, "chunk:4 failed download old answers profiles=3"},
    {"fail-chunk=2:ignore", 1, false, -1, true, "chunk:ignored ok@2 app new answers profiles=3"},
    {"fail-chunk=1:refuse:9:once", 1, false, -1, true, "chunk:9 ok@2 app new answers profiles=3"},
    {"fail-end=refuse:5", 16, false, -1, true, "end:5 ok@2 app new answers profiles=3"},
    {"fail-end=ignore:always", 1, false, -1, true, "end:ignored failed download old answers profiles=3"},
    {"fail-start-image=refuse:always", 16, false, -1, true, "start-image:4 failed download old answers profiles=3"},
    {"fail-start-image=ignore", 16, false, -1, true, "start-image:ignored ok@2 app new answers profiles=3"},
    {"restart-download=1", 16, false, -1, true, "- ok@1 download old answers profiles=3"},
    {"never-back=1", 16, false, -1, true, "- ok@1 app new silent profiles=3"},
    {"old-identity=1", 1, false, -1, true, "- ok@1 app old answers profiles=3"},
    {"new-version=0", 16, false, -1, true, "- ok@1 app new silent profiles=3"},
    {"cne-reset=1", 1, false, -1, true, "- ok@1 app new answers profiles=2"},
    {"cne-reset=1", 16, false, -1, true, "- ok@1 app new answers profiles=2"},
    {"cne-reset=1", 16, true, -1, true, "- ok@1 app new answers profiles=3"},
    {"cne-reset=1", 1, true, -1, true, "- ok@1 app new answers profiles=3"},
    {"check-flags=1", 16, false, 4, true, "start:4 failed download old answers profiles=3"},
    {"check-flags=1", 16, false, 5, false, "end:4 failed download old answers profiles=3"},
    {"check-flags=1", 16, false, -1, true, "- ok@1 app new answers profiles=3"},
    {"check-identity=1 hwid=2", 1, false, -1, true, "start:4 failed download old answers profiles=3"},
    {"check-identity=1 hwver=3", 1, false, -1, true, "start:4 failed download old answers profiles=3"},
    {"check-identity=1", 1, false, -1, true, "- ok@1 app new answers profiles=3"},
};

struct Host {
    DeviceModel& m;
    std::int64_t t = 0;
    std::uint16_t label = 2;
    // The error code the response carries for `rid`: 0 none, -1 no response at all.
    int Send(const Bytes& payload, std::uint16_t rid, std::uint8_t type = 1) {
        int code = -1;
        for (const auto& o : m.OnFrame(HostFrame(kDev, 8, type, label, payload), t)) {
            t = std::max(t, o.dueMs);
            if (Read(o.bytes).Kind() == 2) code = std::max(0, ErrorCode(Read(o.bytes).payload, rid));
        }
        ++label;
        return code;
    }
};

}  // namespace

TEST_F(FirmwareModel, DownloadFaultsTable) {
    for (const FaultRow& row : kFaultRows) {
        SCOPED_TRACE(std::string(row.options) + " protocol " + std::to_string(row.protocol));
        DeviceConfig c;
        c.mac = kDev;
        std::string err;
        const std::string options = std::string("profiles=3 restart=1000 erase=0 ") + row.options;
        ASSERT_TRUE(kvr::sim::ParseDeviceOptions(options, c, &err)) << err;
        DeviceModel m(c);
        Host h{m};
        kvr::sim::QfwSpec spec;
        spec.image1 = kvr::sim::QfwFiller(4000, 1);
        if (row.withCne) spec.cne = kvr::sim::QfwFiller(700, 2);
        const Bytes file = kvr::sim::MakeQfw(spec);
        const bool sendCne = row.withCne && !row.imageOnly;
        std::string first = "-";
        auto fail = [&](const std::string& step, int code) {
            if (first == "-") first = step + (code == 0 ? "" : code < 0 ? ":ignored" : ":" + std::to_string(code));
            return false;
        };
        auto section = [&](std::size_t at, std::uint16_t rid, bool cne) {  // protocol 1, one section
            Payload p;
            p.Word(cne ? 23 : 21).Word(rid);
            if (cne) p.bytes.insert(p.bytes.end(), file.begin() + 4, file.begin() + 8);
            p.bytes.insert(p.bytes.end(), file.begin() + 8, file.begin() + 0x24);
            p.bytes.insert(p.bytes.end(), file.begin() + static_cast<long>(at) + 4, file.begin() + static_cast<long>(at) + 16);
            if (int r = h.Send(p.bytes, rid); r != 0) return fail("start", r);
            const std::size_t off = LeValue(Bytes(file.begin() + static_cast<long>(at), file.begin() + static_cast<long>(at) + 4));
            const std::size_t len = LeValue(Bytes(file.begin() + static_cast<long>(at) + 8, file.begin() + static_cast<long>(at) + 12));
            for (std::size_t i = 0; i < len; i += 1450) {
                Bytes d(file.begin() + static_cast<long>(off + i), file.begin() + static_cast<long>(off + std::min(len, i + 1450)));
                if (int r = h.Send(d, rid, 4); r != 0) return (void)h.Send(Payload().Word(0x0049, 1).bytes, 0x0049), fail("chunk", r);
            }
            if (int r = h.Send(Payload().Word(0x0049, 0).bytes, 0x0049); r != 0) return fail("end", r);
            return true;
        };
        auto attempt = [&]() {
            if (!m.DownloadMode(h.t)) {
                (void)h.Send(Payload().Word(0x0024, 1).bytes, 0x0024);
                h.t += 1001;
                if (!m.DownloadMode(h.t)) return fail("mode", 0);
            }
            if (row.protocol == 1) return (!sendCne || section(0x50, 0x0029, true)) && section(0x30, 0x0021, false);
            const int flags = row.flags >= 0 ? row.flags : (sendCne ? 5 : 1);
            Payload start;
            start.Word(4).Word(0x0121).Long(static_cast<std::uint32_t>(file.size())).Word(static_cast<std::uint16_t>(flags));
            if (int r = h.Send(start.bytes, 0x0121); r != 0) return fail("start", r);
            for (std::size_t off = 0; off < file.size(); off += 1442)
                if (int r = h.Send(ChunkRecord(file, off, std::min<std::size_t>(1442, file.size() - off)), 0x0122); r != 0)
                    return (void)h.Send(Payload().Word(0x0049, 1).bytes, 0x0049), fail("chunk", r);
            if (int r = h.Send(Payload().Word(0x0049, 0).bytes, 0x0049); r != 0) return fail("end", r);
            if (int r = h.Send(Payload().Word(3).Word(0x0048).Long(0).bytes, 0x0048); r != 0) return fail("start-image", r);
            return true;
        };
        std::string result = "failed";
        for (int n = 1; n <= 2 && result == "failed"; ++n)
            if (attempt()) result = "ok@" + std::to_string(n);
        h.t += 1001;
        const auto st = m.State(h.t);
        const bool answers = h.Send(Payload().Query(0x0022).bytes, 0x0022, 0) >= 0;
        EXPECT_EQ(first + " " + result + (st.downloadMode ? " download" : " app") +
                      (st.firmwareVersion == spec.swVersion ? " new" : " old") + (answers ? " answers" : " silent") +
                      " profiles=" + std::to_string(st.profiles.size()),
                  row.expect);
    }
}

TEST_F(FirmwareModel, DataRecordsOutOfOrderAreRefusedForTheirRecord) {
    Bytes file = QfwFile(3000, 1, 1);
    (void)Write(Payload().Word(4).Word(0x0121).Long(static_cast<std::uint32_t>(file.size())).Word(1).bytes);
    auto skipped = Write(ChunkRecord(file, 1442, 1442));  // chunk 2 before chunk 1
    EXPECT_EQ(ErrorCode(skipped[1].payload, 0x0122), kvr::sim::kRefuseBadValue);
    EXPECT_EQ(m_model.State(0).downloadBytes, 0u);
    auto orphan = Write(Bytes(100, 7), 0, 4);  // a raw data frame with no section open
    EXPECT_EQ(orphan[1].status, 0x01);
    EXPECT_EQ(ErrorCode(orphan[1].payload, 0x0021), kvr::sim::kRefuseNotNow);
}

TEST(QfwMaker, FileReadsBackWithTheHeaderReaderAndItsChecksums) {
    kvr::sim::QfwSpec spec;
    std::string err;
    ASSERT_TRUE(kvr::sim::ParseQfwFields({"swid=0xFFFFFFFF", "swver=7", "hwid=0xFFFE", "hwver=3", "date=20280229",
                                          "cnetag=0x41424344", "target1=9", "image1=1441", "image2=1", "cne=0"},
                                         spec, &err)) << err;
    const Bytes file = kvr::sim::MakeQfw(spec);
    kvr::QfwHeader h;
    ASSERT_TRUE(kvr::ParseQfwHeader(file, h));
    EXPECT_TRUE(h.HasMagic());
    EXPECT_EQ(h.VersionText(), "-1.7");
    EXPECT_EQ(h.HardwareID, -2);
    EXPECT_EQ(h.CompatibleHardwareVersion, 3);
    EXPECT_EQ(h.DateText(), "20280229");
    EXPECT_EQ(LeValue(Bytes(h.CneTag.begin(), h.CneTag.end())), 0x41424344u);
    EXPECT_EQ(h.Image1.TargetInfo[0], 9);
    EXPECT_EQ(file.size(), 96u + 1441 + 1 + 0);
    for (const kvr::QfwSection* s : {&h.Image1, &h.Image2, &h.CNE}) {
        EXPECT_TRUE(s->Present() && s->FitsIn(static_cast<std::int64_t>(file.size())));
        EXPECT_EQ(s->Crc, TestCrc(file, static_cast<std::size_t>(s->Offset), static_cast<std::size_t>(s->Length)));
    }
    EXPECT_EQ(h.CNE.Length, 0);
    for (const char* bad : {"image1=-1", "image1=@/nonexistent", "hwid=70000", "date=202802290", "colour=red", "swid"})
        EXPECT_FALSE(kvr::sim::ParseQfwFields({bad}, spec, &err)) << bad;
}
