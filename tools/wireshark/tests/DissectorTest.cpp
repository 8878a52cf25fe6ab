// The Lua dissector run by tshark over hand-made frames: header fields, RID
// values by encoding, download records, secrets kept out of the decode,
// malformed frames marked rather than failing, and the RID table in step with
// the program's constants.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <sstream>

#include "CaptureKit.h"
#include "SampleFrames.h"

using namespace capkit;
using namespace samples;

namespace {

constexpr const char* kError = "8388608";  // expert severity "error"
constexpr const char* kWarn = "6291456";
constexpr const char* kNote = "4194304";

// The sample capture decoded once for every case: tshark reads it once per
// way of reading (the fields of every case in one pass, the request/response
// links in two, the detail view, PDML and two display filters), the runs at
// once. Each case then checks its frames' part of the output.
struct SampleDecode {
    static inline const std::vector<std::string> kFields{
        "frame.number", "snap.version", "snap.kind", "snap.label", "snap.mac", "snap.download_mode", "snap.modified",
        "snap.status", "snap.length", "snap.rid", "snap.rid.name", "snap.value.ipv4", "snap.value.string",
        "snap.value.sword", "snap.value.bool", "snap.value.long", "snap.value.word", "snap.value.bytes",
        "snap.value.security", "snap.value.cipher", "snap.auth.id", "snap.wep.present", "snap.wep.slot",
        "snap.wep.key_length", "snap.wpa.passphrase_length", "snap.undecoded", "snap.block", "snap",
        "snap.error.rid", "snap.error.code", "snap.status.text", "snap.dl.size", "snap.dl.flags",
        "snap.dl.flags.cne", "snap.dl.offset", "snap.dl.length", "snap.dl.data", "snap.dl.status",
        "snap.raw.length", "snap.raw.data", "snap.raw.offset", "snap.fw.cne_tag", "snap.fw.date", "snap.fw.time",
        "snap.fw.swid", "snap.fw.swversion", "snap.fw.hardware_id", "snap.fw.compatible_hardware_version",
        "snap.fw.target_info", "snap.fw.length", "snap.fw.crc", "_ws.expert.severity", "_ws.expert.message",
        "_ws.malformed", "_ws.malformed.expert", "_ws.col.Info"};
    static inline const std::vector<std::string> kTwoPassFields{"frame.number", "snap.request_in",
                                                                "snap.response_in"};

    explicit SampleDecode(const std::string& tshark) : capture(dir.Path() + "/sample.pcap") {
        WriteSampleCapture(capture);
        std::vector<TsharkRun> runs = RunTsharkAll(
            tshark, capture,
            {FieldArgs(kFields), FieldArgs(kTwoPassFields, true), {"-V", "-O", "snap"}, {"-T", "pdml"},
             {"-Y", "snap.label == 0x1234", "-T", "fields", "-e", "frame.number"},
             {"-Y", "snap.rid == 0xfc0e && snap.kind == 2", "-T", "fields", "-e", "frame.number"}});
        onePass = ParseFields(runs[0], kFields.size());
        onePassErrors = runs[0].err;
        twoPass = ParseFields(runs[1], kTwoPassFields.size());
        detail = runs[2], pdml = runs[3], labelFilter = runs[4], ridFilter = runs[5];
    }

    CaptureDir dir;
    std::string capture;
    FieldRows onePass, twoPass;
    std::string onePassErrors;
    TsharkRun detail, pdml, labelFilter, ridFilter;
};

class SampleCapture : public SharedDecodeSuite<SampleDecode> {
protected:
    // These fields of every frame in capture order.
    static FieldRows Columns(const std::vector<std::string>& fields) {
        return SelectFields(s_decode->onePass, SampleDecode::kFields, fields);
    }

    // Fields of every frame; rows are indexed by frame number.
    FieldRows Run(const std::vector<std::string>& fields, bool twoPass = false) {
        std::vector<std::string> all{"frame.number"};
        all.insert(all.end(), fields.begin(), fields.end());
        FieldRows rows = twoPass ? SelectFields(s_decode->twoPass, SampleDecode::kTwoPassFields, all) : Columns(all);
        EXPECT_EQ(rows.size(), static_cast<std::size_t>(kFrameCount));
        FieldRows byFrame(kFrameCount + 1);
        for (auto& r : rows) {
            int n = std::stoi(r[0]);
            r.erase(r.begin());
            if (n >= 1 && n <= kFrameCount) byFrame[n] = r;
        }
        return byFrame;
    }
};

using Row = std::vector<std::string>;

std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

TEST_F(SampleCapture, HeaderFieldsOfEveryFrameKind) {
    FieldRows r = Run({"snap.version", "snap.kind", "snap.label", "snap.mac", "snap.download_mode", "snap.modified",
                       "snap.status", "snap.length"});
    // version, kind, label, sender, download mode, modified, status, payload length
    EXPECT_EQ(r[DiscoveryRequest], (Row{"8", "0", "0x1234", "02:00:00:00:00:10", "0", "0", "0x00", "68"}));
    EXPECT_EQ(r[DeviceAck], (Row{"8", "3", "0x1234", "00:07:f5:00:00:01", "1", "0", "0x00", "0"}));
    EXPECT_EQ(r[DiscoveryResponse], (Row{"8", "2", "0x1234", "00:07:f5:00:00:01", "1", "0", "0x00", "116"}));
    EXPECT_EQ(r[HostAck], (Row{"8", "3", "0x1234", "02:00:00:00:00:10", "0", "0", "0x00", "0"}));
    EXPECT_EQ(r[ErrorStatusResponse], (Row{"8", "2", "0x1236", "00:07:f5:00:00:01", "0", "0", "0x08", "16"}));
    EXPECT_EQ(r[RawData], (Row{"8", "4", "0x2004", "02:00:00:00:00:10", "0", "0", "0x00", "20"}));
    // Version 0 has no sender field: the Ethernet source stands in.
    EXPECT_EQ(r[Version0Request], (Row{"0", "0", "0x0042", "02:00:00:00:00:10", "0", "0", "0x00", "4"}));
    EXPECT_EQ(r[FatalCode], (Row{"8", "1", "0x2006", "00:07:f5:00:00:01", "0", "0", "0x20", "6"}));
    EXPECT_EQ(r[DsapAB], (Row{"8", "0", "0x3006", "02:00:00:00:00:10", "0", "0", "0x00", "4"}));
    EXPECT_EQ(r[ModifiedWrite], (Row{"8", "1", "0x3007", "02:00:00:00:00:10", "0", "1", "0x00", "20"}));
    // Ethernet padding after the payload is not part of it.
    EXPECT_EQ(r[PaddedAck], (Row{"8", "3", "0x3009", "00:07:f5:00:00:01", "0", "0", "0x00", "0"}));
}

TEST_F(SampleCapture, RequestAckAndResponseAreLinkedByLabel) {
    FieldRows r = Run({"snap.request_in", "snap.response_in"}, true);
    EXPECT_EQ(r[DiscoveryRequest], (Row{"", "3"}));
    EXPECT_EQ(r[DeviceAck], (Row{"1", ""}));
    EXPECT_EQ(r[DiscoveryResponse], (Row{"1", ""}));
    EXPECT_EQ(r[HostAck], (Row{"1", ""}));
    // A response whose request is not in the capture links to nothing.
    EXPECT_EQ(r[ProfileResponse], (Row{"", ""}));

    // The display filter on the label picks out the one transaction.
    const TsharkRun& run = s_decode->labelFilter;
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "1\n2\n3\n4\n");
    const TsharkRun& rids = s_decode->ridFilter;
    EXPECT_EQ(rids.out, std::to_string(DiscoveryResponse) + "\n" + std::to_string(ProfileResponse) + "\n" +
                            std::to_string(CountPastPayload) + "\n" + std::to_string(StringCountTooLarge) + "\n");
}

TEST_F(SampleCapture, DiscoveryValuesDecodedByEncoding) {
    FieldRows r = Run({"snap.rid.name", "snap.value.ipv4", "snap.value.string", "snap.value.sword", "snap.value.bool",
                       "snap.value.long", "snap.value.word", "snap.auth.id"});
    EXPECT_EQ(r[DiscoveryRequest][0],
              "RID_ACTIVE_PROFILE|RID_IP_ADDRESS|RID_RSSI|RID_DEVICE_NAME|RID_AUTOIP_BUSY|RID_OPERATION_MODE|"
              "RID_HARDWARE_ID|RID_HARDWARE_VERSION|RID_FIRMWARE_ID|RID_FIRMWARE_VERSION|RID_FIRMWARE_DATE|"
              "RID_FIRMWARE_TIME|RID_BOOTLOADER_ID|RID_BOOTLOADER_VERSION|RID_NUM_PROFILES|RID_AUTHORIZATION");
    EXPECT_EQ(r[DiscoveryRequest][7], "0x00000001");

    const Row& a = r[DiscoveryResponse];
    EXPECT_EQ(a[1], "192.168.1.20");  // first octet in the least significant byte
    // Length-prefixed name, then the fixed date and time (NUL bytes dropped).
    EXPECT_EQ(a[2], "Kitchen|20261207|120000");
    EXPECT_EQ(a[3], "-5|2");  // RSSI is signed; the profile count too
    EXPECT_EQ(a[4], "0|1");
    EXPECT_EQ(a[5], "0x00010002|0x00000203");
    EXPECT_EQ(a[6], "1");

    EXPECT_EQ(r[UnknownRid][0], "RID 0x7777|RID_AUTHORIZATION");
    EXPECT_EQ(r[UnknownRid][7], "0x00000001|0x0a0b0c0d");
}

TEST_F(SampleCapture, ProfileValuesAndWepKeySlots) {
    FieldRows r = Run({"snap.value.string", "snap.value.ipv4", "snap.value.word", "snap.value.security",
                       "snap.value.cipher", "snap.wep.present", "snap.wep.key_length", "snap.wpa.passphrase_length",
                       "snap.value.bool"});
    EXPECT_EQ(r[ProfileResponse],
              (Row{"Kitchen|HomeNet|Caf\u00e9 .", "10.0.0.5", "8080|1", "2", "1", "0|1|0|0", "0|5|0|0", "13", "0"}));
}

TEST_F(SampleCapture, SecretsNeverAppearInTheDecode) {
    std::vector<std::string> forbidden{kWepKey, kPassphrase, "515a584a56", "51:5a:58:4a:56", "68756e74", "68:75:6e:74"};
    const TsharkRun& detail = s_decode->detail;
    ASSERT_EQ(detail.exitCode, 0) << detail.err;
    ASSERT_NE(detail.out.find("Key slot 1: present (5-byte key)"), std::string::npos);
    ASSERT_NE(detail.out.find("Pass phrase length: 13"), std::string::npos);
    FieldRows fields = Run({"snap.value.string", "snap.value.bytes", "snap.undecoded", "snap.wep.slot",
                            "snap.wep.key_length", "snap.wpa.passphrase_length", "snap.block", "snap"});
    std::string all = detail.out;
    for (const auto& row : fields)
        for (const auto& c : row) all += c + "\n";
    // In PDML every item carries the bytes it covers; the items of this
    // decode must not cover a key or a pass phrase (LLC's generic data item
    // is not ours).
    const TsharkRun& pdml = s_decode->pdml;
    ASSERT_EQ(pdml.exitCode, 0) << pdml.err;
    int ours = 0;
    for (const std::string& line : Split(pdml.out, '\n')) {
        if (line.find("name=\"snap") == std::string::npos) continue;
        ++ours;
        all += line + "\n";
    }
    EXPECT_GT(ours, 100);
    for (const auto& s : forbidden) EXPECT_EQ(all.find(s), std::string::npos) << "decode shows " << s;
}

TEST_F(SampleCapture, RefusedRidsAndResponseCodes) {
    FieldRows r = Run({"snap.error.rid", "snap.error.code", "snap.status.text", "_ws.expert.severity",
                       "_ws.expert.message"});
    EXPECT_EQ(r[ErrorStatusResponse][0], "0x0121|0xe000");
    EXPECT_EQ(r[ErrorStatusResponse][1], "1|5");
    EXPECT_EQ(r[ErrorStatusResponse][2],
              "a given RID is not available or implemented, in read responses: unavailable info is not contained in "
              "ResponseCode");
    EXPECT_EQ(r[ErrorStatusResponse][3], std::string(kWarn) + "|" + kNote + "|" + kNote);
    EXPECT_EQ(r[ErrorStatusResponse][4],
              "Response code 0x08: a given RID is not available or implemented, in read responses: unavailable info "
              "is not contained in ResponseCode|RID_START_QFW_DOWNLOAD refused with error code 1|"
              "RID_WPA_PASSPHRASE refused with error code 5");
    // 0x20 on a write-type byte is the one fatal code.
    EXPECT_EQ(r[FatalCode][2], "the complete write frame has been ignored because of (frame format) errors.");
    EXPECT_EQ(r[FatalCode][3], kError);
}

TEST_F(SampleCapture, DownloadRecords) {
    FieldRows r = Run({"snap.dl.size", "snap.dl.flags", "snap.dl.flags.cne", "snap.dl.offset", "snap.dl.length",
                       "snap.dl.data", "snap.dl.status", "snap.raw.length", "snap.raw.data", "_ws.expert.severity"});
    EXPECT_EQ(r[StartQfwDownload], (Row{"4346", "0x0005", "1", "", "", "", "", "", "", ""}));
    EXPECT_EQ(r[ChunkEven], (Row{"", "", "", "1442", "6", "010203040506", "", "", "", ""}));
    // An odd chunk's count word covers one byte less than the record holds:
    // the byte is still data, and the frame is not malformed.
    EXPECT_EQ(r[ChunkOdd], (Row{"", "", "", "0", "5", "0908070605", "", "", "", kNote}));
    EXPECT_EQ(r[RawData], (Row{"", "", "", "", "", "", "", "20", Repeat("5a", 20), ""}));
    EXPECT_EQ(r[ModifiedWrite][6], "0");

    // Protocol-1 data frames carry no offset: it is counted from the start
    // record, and a re-sent frame keeps its offset.
    FieldRows o = Run({"snap.raw.offset", "snap.raw.length"});
    EXPECT_EQ(o[RawData], (Row{"0", "20"}));
    EXPECT_EQ(o[RawDataNext], (Row{"20", "30"}));
    EXPECT_EQ(o[RawDataResent], (Row{"20", "30"}));

    FieldRows f = Run({"snap.fw.cne_tag", "snap.fw.date", "snap.fw.time", "snap.fw.swid", "snap.fw.swversion",
                       "snap.fw.hardware_id", "snap.fw.compatible_hardware_version", "snap.fw.target_info",
                       "snap.fw.length", "snap.fw.crc"});
    EXPECT_EQ(f[StartImageDownload],
              (Row{"", "20261207", "120000xx", "3", "17", "1", "2", "01020304", "2900", "0xdeadbeef"}));
    EXPECT_EQ(f[StartCneDownload],
              (Row{"436e4531", "20261207", "120000xx", "3", "17", "1", "2", "01020304", "2900", "0xdeadbeef"}));
}

TEST_F(SampleCapture, MalformedFramesAreMarkedNotFailed) {
    const std::string& err = s_decode->onePassErrors;
    FieldRows rows = Columns({"frame.number", "snap.label", "_ws.expert.severity", "_ws.expert.message",
                              "_ws.malformed", "_ws.malformed.expert", "_ws.col.Info"});
    ASSERT_EQ(rows.size(), static_cast<std::size_t>(kFrameCount));
    EXPECT_EQ(err.find("Lua"), std::string::npos) << err;
    std::map<int, std::string> expected{
        {CountPastPayload, "Count word 40 claims 82 bytes but only 10 remain in the payload"},
        {CountZero, "Count word 0: a block holds at least its RID"},
        {LengthPastFrame, "Payload length 100 but the frame holds only 6 payload bytes"},
        {CutInHeader, "Frame ends inside the version-8 SNAP header (8 of 14 bytes)"},
        {StrayByte, "A stray byte after the last RID block"},
        {StringCountTooLarge, "RID_DEVICE_NAME: character count 40 exceeds the 32 character positions of the field"},
        {FatalCode, "Response code 0x20: the complete write frame has been ignored because of (frame format) errors."},
    };
    for (const auto& row : rows) {
        int n = std::stoi(row[0]);
        SCOPED_TRACE("frame " + row[0]);
        EXPECT_EQ(row[3].find("Lua Error"), std::string::npos);
        EXPECT_EQ(row[5], "");  // no exception ("Malformed Packet")
        auto it = expected.find(n);
        if (it != expected.end()) {
            EXPECT_EQ(row[2], kError);
            EXPECT_EQ(row[3], it->second);
            // The standard filter for broken frames finds them, except a
            // fatal response code, which is a well-formed frame.
            EXPECT_EQ(row[4], n == FatalCode ? "" : "_ws.malformed");
            if (n != FatalCode && n != CutInHeader) {
                EXPECT_TRUE(row[6].ends_with(" [Malformed]")) << row[6];
            }
        } else {
            EXPECT_EQ(row[2].find(kError), std::string::npos) << row[3];
            EXPECT_EQ(row[4], "");
        }
    }
    // A frame cut inside the header still shows what it has.
    EXPECT_EQ(rows[CutInHeader - 1][1], "");
    EXPECT_EQ(rows[CutInHeader - 1][6], "SNAP frame cut short");
    EXPECT_EQ(rows[CountPastPayload - 1][1], "0x3000");
}

TEST_F(SampleCapture, ToleratedDsapAndUnknownRidAreNoted) {
    FieldRows r = Run({"snap.rid", "snap.value.bytes", "_ws.expert.severity", "_ws.expert.message"});
    EXPECT_EQ(r[DsapAB], (Row{"0x0011", "", kNote, "LLC DSAP 0xAB taken as 0xAA"}));
    EXPECT_EQ(r[UnknownRid], (Row{"0x7777|0x05dd", "efbe", kNote, "Unknown RID 0x7777"}));
}

// Every RID constant of the program, in one read request: the dissector must
// name each one as the program does.
TEST(DissectorRidTable, NamesEveryRidOfTheProgram) {
    auto tshark = FindTshark();
    if (!tshark) GTEST_SKIP() << "tshark is not installed (scripts/deps.sh installs it); dissector not checked";
    std::ifstream in(std::string(KVR_SOURCE_DIR) + "/wire/Rids.h");
    ASSERT_TRUE(in) << "wire/Rids.h not found";
    std::stringstream ss;
    ss << in.rdbuf();
    std::string header = ss.str();
    std::regex def(R"(inline constexpr Rid (RID_\w+) = 0x([0-9A-Fa-f]+);)");
    std::vector<std::pair<std::string, unsigned>> rids;
    for (auto it = std::sregex_iterator(header.begin(), header.end(), def); it != std::sregex_iterator(); ++it)
        rids.emplace_back((*it)[1], std::stoul((*it)[2], nullptr, 16));
    ASSERT_GE(rids.size(), 45u) << "the RID definitions were not found in wire/Rids.h";

    clsPayload p;
    std::string want;
    for (const auto& [name, value] : rids) {
        p.AddRID(static_cast<Rid>(value));
        want += (want.empty() ? "" : "|") + name;
    }
    CaptureDir dir;
    std::string cap = dir.Path() + "/rids.pcap";
    {
        CaptureFile f(cap);
        f.Add(SnapFrame(kDevice, kHost, 8, 0x00, 7, 0, PayloadBytes(p)), 0);
    }
    FieldRows rows = Fields(*tshark, cap, {"snap.rid.name", "_ws.expert.message"});
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], want);
    EXPECT_EQ(rows[0][1], "");  // no RID unknown to the dissector
}

// Seeded random damage to valid frames: whatever the bytes, the dissector
// marks problems as expert info and never fails with a Lua error.
TEST(DissectorRobustness, DamagedFramesNeverRaiseALuaError) {
    auto tshark = FindTshark();
    if (!tshark) GTEST_SKIP() << "tshark is not installed (scripts/deps.sh installs it); dissector not checked";
    CaptureDir dir;
    std::string sample = dir.Path() + "/sample.pcap";
    WriteSampleCapture(sample);

    // Rebuild the valid frames of the sample for mutation.
    std::vector<Bytes> seeds;
    {
        clsPayload p;
        p.AddWord(RID_ACTIVE_PROFILE, 1);
        p.AddString(RID_DEVICE_NAME, "Kitchen", 34);
        p.AddWepKey("0a1B2c3D4e", 0);
        p.AddStringVarLen(RID_WPA_PASSPHRASE, "abc", 63);
        p.AddLenRIDBlock(3, RID_ERROR_STATUS);
        p.AddIntNoRID(0x0121);
        p.AddIntNoRID(1);
        seeds.push_back(SnapFrame(kHost, kDevice, 8, 0x82, 0x10, 0, PayloadBytes(p)));
        seeds.push_back(SnapFrame(kHost, kDevice, 0, 0x02, 0x11, 0x0F, PayloadBytes(p)));
    }
    {
        clsPayload p;
        p.AddLenRIDBlock(7, RID_DOWNLOAD_QFW_CHUNK);
        p.AddLongNoRID(0);
        p.AddIntNoRID(6);
        p.AddBin(Bytes{1, 2, 3, 4, 5, 6});
        p.AddLenRIDBlock(4, RID_START_QFW_DOWNLOAD);
        p.AddLongNoRID(100);
        p.AddIntNoRID(1);
        seeds.push_back(SnapFrame(kDevice, kHost, 8, 0x01, 0x12, 0, PayloadBytes(p)));
    }
    std::mt19937 rng(20261207);
    std::string cap = dir.Path() + "/damaged.pcap";
    const int kFrames = 600;
    {
        CaptureFile f(cap);
        for (int i = 0; i < kFrames; ++i) {
            Bytes b = seeds[rng() % seeds.size()];
            switch (rng() % 5) {
                case 0:  // cut anywhere after the LLC/SNAP header (802.3 length kept true)
                    b.resize(22 + rng() % (b.size() - 21));
                    b[12] = static_cast<std::uint8_t>((b.size() - 14) >> 8);
                    b[13] = static_cast<std::uint8_t>((b.size() - 14) & 0xFF);
                    break;
                case 1:  // random bytes in the SNAP part
                    for (int k = 0; k < 4; ++k) b[22 + rng() % (b.size() - 22)] = static_cast<std::uint8_t>(rng());
                    break;
                case 2: {  // a random count word at a block boundary or anywhere
                    std::size_t at = 36 + rng() % (b.size() - 37);
                    b[at] = static_cast<std::uint8_t>(rng());
                    b[at + 1] = static_cast<std::uint8_t>(rng() % 3 == 0 ? rng() : 0);
                    break;
                }
                case 3:  // a random payload length
                    b[28] = static_cast<std::uint8_t>(rng());
                    b[29] = static_cast<std::uint8_t>(rng() % 8);
                    break;
                default: {  // random bytes of random length after the LLC/SNAP header, either version
                    b.resize(22 + rng() % 80);
                    for (std::size_t k = 22; k < b.size(); ++k) b[k] = static_cast<std::uint8_t>(rng());
                    if (b.size() >= 24 && rng() % 2) b[22] = 8, b[23] = 0;
                    b[12] = static_cast<std::uint8_t>((b.size() - 14) >> 8);
                    b[13] = static_cast<std::uint8_t>((b.size() - 14) & 0xFF);
                    break;
                }
            }
            f.Add(b, i);
        }
    }
    std::string err;
    FieldRows rows =
        Fields(*tshark, cap, {"frame.number", "snap", "_ws.expert.message", "_ws.malformed.expert"}, false, &err);
    ASSERT_EQ(rows.size(), static_cast<std::size_t>(kFrames));
    EXPECT_EQ(err.find("Lua"), std::string::npos) << err;
    int decoded = 0;
    for (const auto& row : rows) {
        EXPECT_EQ(row[2].find("Lua Error"), std::string::npos) << "frame " << row[0] << ": " << row[2];
        EXPECT_EQ(row[3], "") << "frame " << row[0];
        if (!row[1].empty()) ++decoded;
    }
    EXPECT_EQ(decoded, kFrames);  // every frame is still taken as ours
}

// The header is found through LLC wherever LLC sits: behind a VLAN tag, in a
// Linux cooked capture ("any" interface) and in an 802.11 data frame, where a
// version-0 sender is the frame's source address.
TEST(DissectorEncapsulations, VlanLinuxCookedAndWirelessFrames) {
    auto tshark = FindTshark();
    if (!tshark) GTEST_SKIP() << "tshark is not installed (scripts/deps.sh installs it); dissector not checked";
    clsPayload p;
    p.AddRID(RID_ACTIVE_PROFILE);
    const Bytes host{0x02, 0x00, 0x00, 0x00, 0x00, 0x10}, dev{0x00, 0x07, 0xF5, 0x00, 0x00, 0x01},
        bssid{0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE}, group{0x01, 0x07, 0xF5, 0x00, 0x01, 0x00};
    // LLC/SNAP header and everything after it, from a frame built the program's way.
    auto llcPart = [&](int version, std::uint16_t label) {
        Bytes f = SnapFrame(kMulticast, kHost, version, 0x00, label, 0, PayloadBytes(p));
        return Bytes(f.begin() + 14, f.end());
    };
    auto cat = [](std::initializer_list<Bytes> parts) {
        Bytes out;
        for (const auto& b : parts) out.insert(out.end(), b.begin(), b.end());
        return out;
    };
    CaptureDir dir;
    struct Case {
        std::string name;
        int linkType;
        Bytes frame;
    };
    Bytes v8 = llcPart(8, 0x4101), v0 = llcPart(0, 0x4102), cooked = llcPart(8, 0x4103);
    std::vector<Case> cases{
        {"vlan", 1,
         cat({group, host, {0x81, 0x00, 0x00, 0x64, static_cast<std::uint8_t>(v8.size() >> 8),
                            static_cast<std::uint8_t>(v8.size() & 0xFF)}, v8})},
        {"cooked", 113, cat({{0x00, 0x04, 0x00, 0x01, 0x00, 0x06}, host, {0x00, 0x00, 0x00, 0x04}, cooked})},
        // Data frame to the access point (ToDS): receiver, source, destination.
        {"wlan", 105, cat({{0x08, 0x01, 0x00, 0x00}, bssid, host, dev, {0x10, 0x00}, v0})},
    };
    std::map<std::string, Row> want{
        {"vlan", {"8", "0x4101", "02:00:00:00:00:10", "RID_ACTIVE_PROFILE"}},
        {"cooked", {"8", "0x4103", "02:00:00:00:00:10", "RID_ACTIVE_PROFILE"}},
        {"wlan", {"0", "0x4102", "02:00:00:00:00:10", "RID_ACTIVE_PROFILE"}},
    };
    // One capture with a frame of each link type, decoded once.
    std::string cap = dir.Path() + "/encapsulations.pcapng";
    {
        MultiLinkCapture f(cap);
        for (std::size_t i = 0; i < cases.size(); ++i) f.Add(cases[i].linkType, cases[i].frame, static_cast<std::int64_t>(i));
    }
    FieldRows rows = Fields(*tshark, cap, {"snap.version", "snap.label", "snap.mac", "snap.rid.name"}, true);
    ASSERT_EQ(rows.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ(rows[i], want[cases[i].name]);
    }
}

// The install script puts the dissector where tshark loads it without -X,
// a second copy given with -X is refused politely, and --remove takes it away.
TEST(DissectorInstall, InstallScriptPutsItWhereTsharkLoadsIt) {
    auto tshark = FindTshark();
    if (!tshark) GTEST_SKIP() << "tshark is not installed (scripts/deps.sh installs it); dissector not checked";
    CaptureDir home, dir;
    std::string capture = dir.Path() + "/sample.pcap";
    WriteSampleCapture(capture);
    std::string env = "HOME=" + ShellQuote(home.Path()) + " XDG_CONFIG_HOME=" + ShellQuote(home.Path() + "/.config") +
                      " ";
    std::string script = std::string(KVR_SOURCE_DIR) + "/tools/wireshark/install.sh";

    TsharkRun inst = RunShell(env + "bash " + ShellQuote(script));
    ASSERT_EQ(inst.exitCode, 0) << inst.out << inst.err;
    EXPECT_NE(inst.out.find("tshark loads the dissector"), std::string::npos) << inst.out;
    std::string installed = home.Path() + "/.local/lib/wireshark/plugins/kvr_snap.lua";
    EXPECT_TRUE(std::filesystem::exists(installed));

    // Loaded from where it was installed; given again with -X (both runs at once).
    std::string read = env + ShellQuote(*tshark) + " -n -r " + ShellQuote(capture) + " -c 2 -T fields -e snap.label";
    std::vector<TsharkRun> loaded =
        RunShellAll({read, env + ShellQuote(*tshark) + " -n -X " + ShellQuote("lua_script:" + DissectorPath()) +
                               " -r " + ShellQuote(capture) + " -c 2 -T fields -e snap.label"});
    const TsharkRun& plain = loaded[0];
    EXPECT_EQ(plain.exitCode, 0) << plain.err;
    EXPECT_EQ(plain.out, "0x1234\n0x1234\n");

    const TsharkRun& twice = loaded[1];
    EXPECT_EQ(twice.exitCode, 0) << twice.err;
    EXPECT_EQ(twice.out, "0x1234\n0x1234\n");
    EXPECT_NE(twice.err.find("already loaded from " + installed), std::string::npos) << twice.err;

    TsharkRun removed = RunShell(env + "bash " + ShellQuote(script) + " --remove");
    EXPECT_EQ(removed.exitCode, 0) << removed.err;
    EXPECT_FALSE(std::filesystem::exists(installed));
    TsharkRun after = RunShell(read);  // no dissector: tshark does not know the field
    EXPECT_NE(after.exitCode, 0);
    EXPECT_NE(after.err.find("snap.label"), std::string::npos) << after.err;

    TsharkRun bad = RunShell(env + "bash " + ShellQuote(script) + " --frobnicate");
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_NE(bad.err.find("unknown option '--frobnicate'"), std::string::npos);
}

}  // namespace
