// The dissector over a conversation between the program's requests and the
// device simulator's answers: a discovery, the profile names, a profile read
// and short firmware downloads in both protocols, every response acknowledged
// as the program does. The simulator codes its frames independently of the
// program, so this checks the dissector against both sides.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "CaptureKit.h"
#include "SnapCodec.h"
#include "HexText.h"
#include "sim/DeviceModel.h"

using namespace capkit;

namespace {

const char* kHost = "020000000010";
const char* kMulticast = "0107F5000100";

// The host's side of the conversation with one simulated device.
class Conversation {
public:
    Conversation(CaptureFile& cap, const kvr::sim::DeviceConfig& config, std::uint16_t firstLabel)
        : m_cap(cap), m_model(config), m_device(kvr::sim::MacText(config.mac)), m_label(firstLabel - 1) {}

    std::int64_t now = 1000;

    // Sends a request and answers every response with an ACK carrying its
    // label. Returns the label.
    std::uint16_t Send(const std::string& dst, std::uint8_t type, const clsPayload& p) {
        return SendRaw(dst, type, PayloadBytes(p));
    }

    std::uint16_t SendRaw(const std::string& dst, std::uint8_t type, const Bytes& payload) {
        std::uint16_t label = ++m_label;
        Deliver(SnapFrame(dst, kHost, 8, type, label, 0, payload));
        return label;
    }

    const std::string& Device() const { return m_device; }

private:
    void Deliver(const Bytes& frame) {
        m_cap.Add(frame, now);
        auto outs = m_model.OnFrame(frame, now);
        std::stable_sort(outs.begin(), outs.end(), [](const auto& a, const auto& b) { return a.dueMs < b.dueMs; });
        for (const auto& out : outs) {
            now = std::max(now, out.dueMs);
            m_cap.Add(out.bytes, now);
            kvr::SnapFrame f;
            if (kvr::ParseSnapFrame(out.bytes, f) == kvr::SnapParse::Ok && (f.frameType & 7) == 2) {
                Bytes ack = SnapFrame(kvr::MacText(f.sender), kHost, 8, 0x03,
                                      static_cast<std::uint16_t>(f.label), 0, {});
                now += 1;
                m_cap.Add(ack, now);
                m_model.OnFrame(ack, now);
            }
        }
        now += 20;
    }

    CaptureFile& m_cap;
    kvr::sim::DeviceModel m_model;
    std::string m_device;
    std::uint16_t m_label;
};

clsPayload DiscoveryRequest() {
    clsPayload p;
    for (Rid rid : {RID_ACTIVE_PROFILE, RID_IP_ADDRESS, RID_RSSI, RID_DEVICE_NAME, RID_AUTOIP_BUSY, RID_OPERATION_MODE,
                    RID_HARDWARE_ID, RID_HARDWARE_VERSION, RID_FIRMWARE_ID, RID_FIRMWARE_VERSION, RID_FIRMWARE_DATE,
                    RID_FIRMWARE_TIME, RID_BOOTLOADER_ID, RID_BOOTLOADER_VERSION, RID_NUM_PROFILES})
        p.AddRID(rid);
    p.AddLenRIDBlock(3, RID_AUTHORIZATION);
    p.AddLongNoRID(1);
    return p;
}

// The recorded conversation: the labels of its requests.
struct ExchangeRecording {
    void Record(const std::string& capture);

    static constexpr const char* kPassphrase = "sesame-open-42";
    std::uint16_t discovery = 0, names = 0, profile = 0, save = 0, downloadMode = 0, probe = 0, startQfw = 0, endDownload = 0,
                  startImage = 0, startV1 = 0, endV1 = 0;
    std::vector<std::uint16_t> chunks, rawFrames;
    std::size_t fileSize = 0;
};

// The conversation recorded and decoded once for every case: tshark reads it
// with the request/response links (two passes), with the fields of the other
// cases (one pass) and in the detail view, the runs at once.
struct ExchangeDecode {
    static inline const std::vector<std::string> kLinkFields{
        "frame.number", "snap.label", "snap.kind", "snap.mac", "snap.request_in", "snap.response_in",
        "_ws.expert.severity", "_ws.expert.message"};
    static inline const std::vector<std::string> kFields{
        "frame.number", "snap.label", "snap.kind", "snap.value.string", "snap.value.ipv4", "snap.download_mode",
        "snap.value.security", "snap.wpa.passphrase_length", "snap.error.rid", "snap.error.code", "snap.dl.size",
        "snap.dl.offset", "snap.dl.length", "snap.dl.status", "snap.fw.length", "snap.raw.length",
        "snap.fw.swversion", "snap.raw.offset"};

    explicit ExchangeDecode(const std::string& tshark) : capture(dir.Path() + "/exchange.pcap") {
        recording.Record(capture);
        // KVR_KEEP_CAPTURES=DIR keeps a copy for a look in Wireshark.
        if (const char* keep = std::getenv("KVR_KEEP_CAPTURES"))
            std::filesystem::copy_file(capture, std::string(keep) + "/simulated-exchange.pcap",
                                       std::filesystem::copy_options::overwrite_existing);
        std::vector<TsharkRun> runs =
            RunTsharkAll(tshark, capture, {FieldArgs(kLinkFields, true), FieldArgs(kFields), {"-V", "-O", "snap"}});
        links = ParseFields(runs[0], kLinkFields.size());
        values = ParseFields(runs[1], kFields.size());
        detail = runs[2];
    }

    CaptureDir dir;
    std::string capture;
    ExchangeRecording recording;
    FieldRows links, values;
    TsharkRun detail;
};

class SimulatedExchange : public SharedDecodeSuite<ExchangeDecode>, protected ExchangeRecording {
protected:
    void SetUp() override {
        SharedDecodeSuite::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        static_cast<ExchangeRecording&>(*this) = s_decode->recording;
    }

    // These fields of every frame, from the shared decode (two passes: with
    // the request/response links).
    static FieldRows Fields(const std::vector<std::string>& fields, bool twoPass = false) {
        return twoPass ? SelectFields(s_decode->links, ExchangeDecode::kLinkFields, fields)
                       : SelectFields(s_decode->values, ExchangeDecode::kFields, fields);
    }
};

void ExchangeRecording::Record(const std::string& capture) {
    CaptureFile cap(capture);
    kvr::sim::DeviceConfig a;
    a.mac = kvr::sim::ParseMac("00:07:F5:0A:0B:0C").value();
    a.name = "Lounge";
    a.wpaCapable = true;
    a.hasSecurityWord = true;
    a.restartMs = 100;
    a.eraseMs = 50;
    kvr::sim::Profile factory;
    factory.name = "Factory";
    kvr::sim::Profile home;
    home.name = "Home";
    home.ssid = "HomeNet";
    home.security = 2;
    home.wpaPassphrase = kPassphrase;
    a.profiles = {factory, home};
    a.activeProfile = 1;
    Conversation dev(cap, a, 0x0100);

    discovery = dev.Send(kMulticast, 0x00, DiscoveryRequest());
    {
        clsPayload p;  // the profile names, as discovery reads them
        for (std::uint16_t n = 0; n < 2; ++n) {
            p.AddWord(RID_PROFILE_SELECT, n);
            p.AddRID(RID_PROFILE_NAME);
        }
        names = dev.Send(dev.Device(), 0x00, p);
    }
    {
        clsPayload p;  // one profile, as the profile editor reads it
        p.AddRID(RID_DEVICE_NAME);
        p.AddWord(RID_PROFILE_SELECT, 1);
        for (Rid rid : {0x0000, 0x0001, 0x0002, 0x0003, 0x0007, 0x0008, 0x0004, 0x0005, 0x0009, 0x0006, 0xFC02,
                        0xFC20, 0xFC81, 0x0012, 0x0010, 0x0031, 0x0032, 0x0033, 0x0037, 0x0038, 0xFC21, 0xE000,
                        0xE001, 0xE002})
            p.AddRID(static_cast<Rid>(rid));
        profile = dev.Send(dev.Device(), 0x00, p);
    }
    {
        clsPayload p;  // the edited profile, as the profile editor saves it
        p.AddWord(RID_PROFILE_SELECT, 1);
        p.AddBool(RID_DHCP, true);
        p.AddBool(RID_USE_PROXY, false);
        p.AddString(RID_SSID, "HomeNet", 34);
        p.AddWord(RID_SECURITY, 2);
        p.AddStringVarLen(RID_WPA_PASSPHRASE, kPassphrase, 63);
        p.AddWord(RID_WPA_CIPHER, 0);
        p.AddBool(RID_ADHOC, false);
        p.AddString(RID_PROFILE_NAME, "Home", 34);
        save = dev.Send(dev.Device(), 0x01, p);
    }
    {
        clsPayload p;
        p.AddWord(RID_DOWNLOAD_MODE, 1);
        downloadMode = dev.Send(dev.Device(), 0x01, p);
        dev.now += 3000;  // the device restarts into its loader
    }
    {
        clsPayload p;  // the capability probe
        for (Rid rid : {RID_START_QFW_DOWNLOAD, RID_DOWNLOAD_QFW_CHUNK, RID_END_DOWNLOAD, RID_START_IMAGE})
            p.AddRID(rid);
        probe = dev.Send(dev.Device(), 0x00, p);
    }
    Bytes file = SmallFirmwareFile(1500);
    fileSize = file.size();
    {
        clsPayload p;
        p.AddLenRIDBlock(4, RID_START_QFW_DOWNLOAD);
        p.AddLongNoRID(static_cast<std::int32_t>(file.size()));
        p.AddIntNoRID(1);
        startQfw = dev.Send(dev.Device(), 0x01, p);
    }
    for (std::size_t off = 0; off < file.size(); off += 1442) {
        std::size_t n = std::min<std::size_t>(1442, file.size() - off);
        clsPayload p;
        p.AddLenRIDBlock(static_cast<std::int16_t>((n + 8) / 2), RID_DOWNLOAD_QFW_CHUNK);
        p.AddLongNoRID(static_cast<std::int32_t>(off));
        p.AddIntNoRID(static_cast<std::int16_t>(n));
        p.AddBin(Bytes(file.begin() + static_cast<long>(off), file.begin() + static_cast<long>(off + n)));
        chunks.push_back(dev.Send(dev.Device(), 0x01, p));
    }
    {
        clsPayload p;
        p.AddWord(RID_END_DOWNLOAD, 0);
        endDownload = dev.Send(dev.Device(), 0x01, p);
    }
    {
        clsPayload p;
        p.AddLong(RID_START_IMAGE, 0);
        startImage = dev.Send(dev.Device(), 0x01, p);
    }

    // A second device that only knows protocol 1, already in its loader.
    kvr::sim::DeviceConfig b;
    b.mac = kvr::sim::ParseMac("00:07:F5:0A:0B:0D").value();
    b.name = "Porch";
    b.v16Download = false;
    b.downloadMode = true;
    b.eraseMs = 50;
    Conversation old(cap, b, 0x0200);
    old.now = dev.now + 100;
    {
        clsPayload p;
        p.AddLenRIDBlock(21, RID_START_IMAGE_DOWNLOAD);
        p.AddBin(Bytes(file.begin() + 0x08, file.begin() + 0x24));  // date, time, SWID, SWVersion, hardware
        p.AddBin(Bytes(file.begin() + 0x34, file.begin() + 0x40));  // image target info, length, CRC
        startV1 = old.Send(old.Device(), 0x01, p);
    }
    for (std::size_t off = 96; off < file.size(); off += 1450) {
        std::size_t n = std::min<std::size_t>(1450, file.size() - off);
        rawFrames.push_back(old.SendRaw(old.Device(), 0x04, Bytes(file.begin() + static_cast<long>(off),
                                                                    file.begin() + static_cast<long>(off + n))));
    }
    {
        clsPayload p;
        p.AddWord(RID_END_DOWNLOAD, 0);
        endV1 = old.Send(old.Device(), 0x01, p);
    }
    cap.Close();
}

// Per label: field values of the request, the device's response and the
// three frames around them.
FieldRows ByLabel(const FieldRows& rows, std::uint16_t label, const std::string& kind) {
    FieldRows out;
    for (const auto& r : rows)
        if (!r[1].empty() && std::stoul(r[1], nullptr, 16) == label && r[2] == kind) out.push_back(r);
    return out;
}

TEST_F(SimulatedExchange, EveryRequestIsFollowedByAckResponseAndAck) {
    FieldRows rows = Fields({"frame.number", "snap.label", "snap.kind", "snap.mac", "snap.request_in",
                            "snap.response_in", "_ws.expert.severity", "_ws.expert.message"},
                            true);
    ASSERT_FALSE(rows.empty());
    std::vector<std::uint16_t> labels{discovery, names, profile, save, downloadMode, probe, startQfw, endDownload,
                                      startImage, startV1, endV1};
    labels.insert(labels.end(), chunks.begin(), chunks.end());
    labels.insert(labels.end(), rawFrames.begin(), rawFrames.end());
    for (std::uint16_t label : labels) {
        SCOPED_TRACE("label " + std::to_string(label));
        FieldRows req, acks, resp;
        for (const auto& r : rows) {
            if (std::stoul(r[1], nullptr, 16) != label) continue;
            if (r[2] == "0" || r[2] == "1" || r[2] == "4") req.push_back(r);
            if (r[2] == "3") acks.push_back(r);
            if (r[2] == "2") resp.push_back(r);
        }
        ASSERT_EQ(req.size(), 1u);
        ASSERT_EQ(resp.size(), 1u);
        ASSERT_EQ(acks.size(), 2u);  // the device's, then the host's
        EXPECT_EQ(req[0][5], resp[0][0]) << "request links to its response";
        EXPECT_EQ(resp[0][4], req[0][0]);
        EXPECT_EQ(acks[0][4], req[0][0]);
        EXPECT_EQ(acks[1][4], req[0][0]);
        EXPECT_EQ(acks[0][3], resp[0][3]) << "the device ACKs";
        EXPECT_EQ(acks[1][3], "02:00:00:00:00:10") << "the host ACKs";
    }
    for (const auto& r : rows) EXPECT_EQ(r[6].find("8388608"), std::string::npos) << "frame " << r[0] << ": " << r[7];
}

TEST_F(SimulatedExchange, DiscoveryAndProfileAnswers) {
    FieldRows rows = Fields({"frame.number", "snap.label", "snap.kind", "snap.value.string", "snap.value.ipv4",
                            "snap.download_mode", "snap.value.security", "snap.wpa.passphrase_length",
                            "snap.error.rid", "snap.error.code"});
    FieldRows d = ByLabel(rows, discovery, "2");
    ASSERT_EQ(d.size(), 1u);
    // Name, then firmware date and time as the simulator reports them.
    EXPECT_EQ(Split(d[0][3], '|').at(0), "Lounge");
    EXPECT_EQ(d[0][4], "192.168.1.20");
    EXPECT_EQ(d[0][5], "0");

    FieldRows n = ByLabel(rows, names, "2");
    ASSERT_EQ(n.size(), 1u);
    EXPECT_EQ(n[0][3], "Factory|Home");

    FieldRows p = ByLabel(rows, profile, "2");
    ASSERT_EQ(p.size(), 1u);
    std::vector<std::string> strings = Split(p[0][3], '|');
    EXPECT_NE(std::find(strings.begin(), strings.end(), "HomeNet"), strings.end());
    EXPECT_NE(std::find(strings.begin(), strings.end(), "Home"), strings.end());
    EXPECT_EQ(p[0][6], "2");
    // The pass phrase cannot be read back: the device refuses it.
    EXPECT_NE(p[0][8].find("0xe000"), std::string::npos);

    // Saving sends it; the decode gives its length only.
    FieldRows w = ByLabel(rows, save, "1");
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0][7], std::to_string(std::string(kPassphrase).size()));
    EXPECT_EQ(w[0][3], "HomeNet|Home");

    // The capability probe is answered with "exists but cannot be read".
    FieldRows probeAnswer = ByLabel(rows, probe, "2");
    ASSERT_EQ(probeAnswer.size(), 1u);
    EXPECT_EQ(probeAnswer[0][9], "1|1|1|1");
    EXPECT_EQ(probeAnswer[0][5], "1");  // answered from the loader

    const TsharkRun& detail = s_decode->detail;
    ASSERT_EQ(detail.exitCode, 0) << detail.err;
    EXPECT_EQ(detail.out.find(kPassphrase), std::string::npos);
}

TEST_F(SimulatedExchange, FirmwareDownloadRecords) {
    FieldRows rows = Fields({"frame.number", "snap.label", "snap.kind", "snap.dl.size", "snap.dl.offset",
                            "snap.dl.length", "snap.dl.status", "snap.fw.length", "snap.raw.length",
                            "snap.error.rid", "snap.fw.swversion", "snap.raw.offset"});
    FieldRows s = ByLabel(rows, startQfw, "1");
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0][3], std::to_string(fileSize));
    ASSERT_EQ(chunks.size(), 2u);
    FieldRows c0 = ByLabel(rows, chunks[0], "1"), c1 = ByLabel(rows, chunks[1], "1");
    ASSERT_EQ(c0.size(), 1u);
    ASSERT_EQ(c1.size(), 1u);
    EXPECT_EQ(c0[0][4] + "/" + c0[0][5], "0/1442");
    EXPECT_EQ(c1[0][4] + "/" + c1[0][5], "1442/" + std::to_string(fileSize - 1442));
    // The device took the whole file: its answer to the end record refuses nothing.
    FieldRows e = ByLabel(rows, endDownload, "2");
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0][9], "");
    EXPECT_EQ(ByLabel(rows, endDownload, "1").at(0)[6], "0");

    FieldRows v1 = ByLabel(rows, startV1, "1");
    ASSERT_EQ(v1.size(), 1u);
    EXPECT_EQ(v1[0][7], "1500");
    EXPECT_EQ(v1[0][10], std::to_string(0x0204));
    ASSERT_EQ(rawFrames.size(), 2u);
    EXPECT_EQ(ByLabel(rows, rawFrames[0], "4").at(0)[8], "1450");
    EXPECT_EQ(ByLabel(rows, rawFrames[1], "4").at(0)[8], "50");
    EXPECT_EQ(ByLabel(rows, rawFrames[0], "4").at(0)[11], "0");
    EXPECT_EQ(ByLabel(rows, rawFrames[1], "4").at(0)[11], "1450");
    FieldRows e1 = ByLabel(rows, endV1, "2");
    ASSERT_EQ(e1.size(), 1u);
    EXPECT_EQ(e1[0][9], "");
}

}  // namespace
