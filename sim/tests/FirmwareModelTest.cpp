// Firmware downloads into the device model: the whole-file protocol with
// numbered chunks, and the older per-section protocol with raw data frames.
#include <gtest/gtest.h>

#include "sim/DeviceModel.h"
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
        p.b.insert(p.b.end(), file.begin() + static_cast<long>(offset), file.begin() + static_cast<long>(offset + n));
        return p.b;
    }
    void SendWholeFile(const Bytes& file) {
        Payload start;
        start.Word(4).Word(0x0121).Long(static_cast<std::uint32_t>(file.size())).Word(1);
        auto s = Write(start.b);
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
    auto outs = m_model.OnFrame(HostFrame(kDev, 8, 1, m_label++, start.b), 5000);
    ASSERT_EQ(outs.size(), 2u);
    EXPECT_EQ(outs[0].dueMs, 5000);
    EXPECT_EQ(outs[1].dueMs, 5700);
    // A re-send while the memory is prepared is acknowledged at once, answered no earlier.
    auto resent = m_model.OnFrame(HostFrame(kDev, 8, 1, static_cast<std::uint16_t>(m_label - 1), start.b), 5300);
    ASSERT_EQ(resent.size(), 2u);
    EXPECT_EQ(resent[0].dueMs, 5300);
    EXPECT_EQ(resent[1].dueMs, 5700);
    m_model.SetDownloadMode(true);
    SendWholeFile(file);
    EXPECT_EQ(m_model.State(0).downloadBytes, file.size());
    auto end = Write(Payload().SetWord(0x0049, 0).b, 100);
    ASSERT_EQ(end.size(), 2u);
    EXPECT_TRUE(end[1].payload.empty()) << "complete and intact";
    EXPECT_EQ(m_model.Counters().downloadsCompleted, 1u);
    EXPECT_EQ(m_model.State(100).firmwareId, 0x0100u) << "not before the image is started";
    auto go = Write(Payload().Word(3).Word(0x0048).Long(0).b, 200);
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
    auto end = Write(Payload().SetWord(0x0049, 0).b);
    EXPECT_EQ(ErrorCode(end[1].payload, 0x0049), kvr::sim::kRefuseBadValue);
    (void)Write(Payload().Word(3).Word(0x0048).Long(0).b, 0);
    EXPECT_EQ(m_model.State(5000).firmwareId, 0x0100u);

    m_model.SetDownloadMode(true);
    Bytes good = QfwFile(3000, 0x0200, 0x0400);
    Payload start;
    start.Word(4).Word(0x0121).Long(static_cast<std::uint32_t>(good.size())).Word(1);
    (void)Write(start.b, 6000);
    (void)Write(ChunkRecord(good, 0, 1442), 6000);  // the rest never comes
    auto end2 = Write(Payload().SetWord(0x0049, 0).b, 6000);
    EXPECT_EQ(ErrorCode(end2[1].payload, 0x0049), kvr::sim::kRefuseBadValue);
    EXPECT_EQ(m_model.Counters().downloadsFailed, 2u);
    // A chunk outside the announced size is refused.
    (void)Write(start.b, 6000);
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
    auto s = Write(start.b);
    ASSERT_EQ(s.size(), 2u);
    EXPECT_FALSE(s[1].DownloadBit());
    EXPECT_EQ(ErrorCode(s[1].payload, 0x0121), kvr::sim::kRefuseNotNow);
    auto img = Write(Payload().Word(3).Word(0x0048).Long(0).b);
    EXPECT_EQ(ErrorCode(img[1].payload, 0x0048), kvr::sim::kRefuseNotNow);

    m_model.SetDownloadMode(true);
    Bytes file = QfwFile(1442 * 2, 1, 1);
    (void)Write(Payload().Word(4).Word(0x0121).Long(static_cast<std::uint32_t>(file.size())).Word(1).b);
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
        for (char ch : std::string("2027031508300000")) p.b.push_back(static_cast<std::uint8_t>(ch));
        p.Long(0x0300).Long(0x0009).Word(1).Word(2).Long(0);
        p.Long(static_cast<std::uint32_t>(section.size())).Long(TestCrc(section, 0, section.size()));
        return p.b;
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
        auto e = Write(Payload().SetWord(0x0049, 0).b, 50);
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
    EXPECT_EQ(send(Payload().Word(4).Word(0x0121).Long(static_cast<std::uint32_t>(file.size())).Word(1).b), 2u);
    EXPECT_EQ(send(ChunkRecord(file, 0, 1442)), 2u);
    EXPECT_EQ(send(ChunkRecord(file, 1442, 1442)), 2u);
    EXPECT_EQ(send(ChunkRecord(file, 2884, 1442)), 0u);
    EXPECT_EQ(m.OnFrame(HostFrame(kGroup, 8, 0, label++, DiscoveryPayload()), 0).size(), 0u);
}
