// Device object, device pool and discovery steps without a network: the SNAP
// link carries simulated devices and hand-made answers on a fake clock.
#include <gtest/gtest.h>

#include "RidBlocks.h"
#include "Globals.h"
#include "LogRecorder.h"
#include "RecordingPrompter.h"
#include "SimLink.h"
#include "Rids.h"
#include "HexText.h"
#include "clsDiscover.h"
#include "clsPayload.h"
#include "clsSnapResponse.h"
#include "clsZarn.h"
#include "clsZarnPool.h"
#include "modSNAP.h"

using Blocks = kvr::test::RidBlocks;
using kvr::test::SimLink;

namespace {

std::shared_ptr<clsZarn> Device(const std::string& mac, bool download = false) {
    auto z = std::make_shared<clsZarn>();
    z->MAC = mac;
    z->IsInDownloadMode = download;
    return z;
}

std::vector<std::uint8_t> Hex(const std::string& text) {
    std::vector<std::uint8_t> out;
    std::string digits;
    for (char c : text)
        if (c != ' ') digits.push_back(c);
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return out;
}

// The answer of a device to a discovery request, every field present.
Blocks FullDiscoveryAnswer() {
    Blocks b;
    b.Word(RID_ACTIVE_PROFILE, 2)
        .Long(RID_IP_ADDRESS, 0x1401A8C0)  // 192.168.1.20
        .Word(RID_RSSI, 0xFFFB)            // -5
        .Str(RID_DEVICE_NAME, "Kitchen", 34)
        .Word(RID_AUTOIP_BUSY, 0)
        .Word(RID_OPERATION_MODE, 0)
        .Long(RID_HARDWARE_ID, 0x11)
        .Long(RID_HARDWARE_VERSION, 3)
        .Long(RID_FIRMWARE_ID, 0x100)
        .Long(RID_FIRMWARE_VERSION, 0x20304)
        .Fixed(RID_FIRMWARE_DATE, "20261207")
        .Fixed(RID_FIRMWARE_TIME, "12345600")
        .Long(RID_BOOTLOADER_ID, 0x10)
        .Long(RID_BOOTLOADER_VERSION, 0x101)
        .Word(RID_NUM_PROFILES, 4);
    return b;
}

class ScriptedTest : public ::testing::Test {
protected:
    void SetUp() override {
        G().AuthorizationID = 0;
        G().ModifiedSnap = 0;
    }
    kvr::FakeClock clock;
    SimLink link{clock};
    kvr::test::LogRecorder log;
    kvr::test::RecordingPrompter prompter;
};

}  // namespace

TEST(DevicePool, LooksDevicesUpByMacWithoutColons) {
    clsZarnPool pool;
    pool.AddZarn(Device("0007F5010203"));
    pool.AddZarn(Device("0007F5010204"));

    std::string text = "00:07:F5:01:02:04";
    auto found = pool.FindZarn(text);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->MAC, "0007F5010204");
    EXPECT_EQ(text, "0007F5010204") << "the caller's text loses its colons too";

    std::string lower = "0007f5010203";
    EXPECT_EQ(pool.FindZarn(lower), nullptr) << "apart from colons the comparison is exact";
    std::string absent = "00:07:F5:FF:FF:FF";
    EXPECT_EQ(pool.FindZarn(absent), nullptr);
}

TEST(DevicePool, KeepsEachMacOnceInOrderAndFindsDownloadMode) {
    clsZarnPool pool;
    auto first = Device("0007F5010203");
    EXPECT_TRUE(pool.AddUniqueZarn(first));
    EXPECT_TRUE(pool.AddUniqueZarn(Device("0007F5010204")));
    EXPECT_FALSE(pool.AddUniqueZarn(Device("0007F5010203")));
    EXPECT_FALSE(pool.AddUniqueZarn(Device("00:07:F5:01:02:03"))) << "colons do not make another device";
    ASSERT_EQ(pool.Count(), 2u);
    EXPECT_EQ(pool.colZarn[0], first);

    // AddZarn does not check: a second object with the same MAC is appended, and
    // lookups return the first one.
    auto twin = Device("0007F5010203");
    pool.AddZarn(twin);
    std::string mac = "0007F5010203";
    EXPECT_EQ(pool.FindZarn(mac), first);
    EXPECT_TRUE(pool.ContainsZarn(*twin));

    EXPECT_FALSE(pool.ZarnsInDownloadMode());
    EXPECT_EQ(pool.GetFirstZarnInDownloadMode(), nullptr);
    auto d1 = Device("0007F5000002", true);
    pool.AddZarn(d1);
    pool.AddZarn(Device("0007F5000003", true));
    EXPECT_TRUE(pool.ZarnsInDownloadMode());
    EXPECT_EQ(pool.GetFirstZarnInDownloadMode(), d1);
    pool.Clear();
    EXPECT_EQ(pool.Count(), 0u);
    pool.Clear();
}

TEST(DeviceTexts, SignalStrengthBands) {
    const struct {
        std::int16_t rssi;
        const char* text;
    } rows[] = {{100, "Excellent"}, {26, "Excellent"}, {25, "Good"}, {16, "Good"}, {15, "Marginal"},
                {3, "Marginal"},    {2, "Poor"},       {0, "Poor"},  {-1, "Not applicable"}, {-32768, "Not applicable"}};
    clsZarn z;
    for (const auto& r : rows) {
        z.Rssi = r.rssi;
        EXPECT_EQ(z.GetRSSI(), r.text) << "Rssi " << r.rssi;
    }
}

TEST(DeviceTexts, AddressStatusAndModeText) {
    clsZarn z;
    z.IpAddr = "192.168.1.20";
    EXPECT_EQ(z.GetIPStatus(), "192.168.1.20");
    EXPECT_EQ(z.GetDownloadMode(), "Normal");
    z.IpAddr = "0.0.0.0";
    EXPECT_EQ(z.GetIPStatus(), "Invalid IP address");
    z.AutoIPBusy = true;
    EXPECT_EQ(z.GetIPStatus(), "Assignment in Progress");
    z.IpAddr = "10.0.0.1";
    EXPECT_EQ(z.GetIPStatus(), "Assignment in Progress") << "a busy assignment wins over an address";
    z.IsInDownloadMode = true;
    EXPECT_EQ(z.GetIPStatus(), "DOWNLOAD MODE!") << "download mode wins over everything";
    EXPECT_EQ(z.GetDownloadMode(), "DOWNLOAD MODE!");
}

TEST(DiscoveryRequest, PayloadMatchesFixtureByteForByte) {
    G().AuthorizationID = 0;
    clsDiscover d;
    clsPayload p;
    d.BuildDiscoverPayload(8, p);
    const auto expected = Hex(
        "0100 1000  0100 0100  0100 43FD  0100 0EFC  0100 0A00  0100 2000  0100 2300  0100 2800"
        "0100 2700  0100 2200  0100 2500  0100 2600  0100 4700  0100 4200  0100 1100"
        "0300 DD05 01000000");
    ASSERT_EQ(p.GetLength(), 68);
    auto bytes = p.GetPayload();
    bytes.resize(68);
    EXPECT_EQ(bytes, expected);
    EXPECT_EQ(p.mProtocolVersion, 8);

    // The program-wide authorization identifier replaces the default 1.
    G().AuthorizationID = 0x0A0B0C0D;
    clsDiscover withAuth;
    withAuth.BuildDiscoverPayload(0, p);
    bytes = p.GetPayload();
    bytes.resize(static_cast<std::size_t>(p.GetLength()));
    ASSERT_EQ(bytes.size(), 68u);
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.end() - 8, bytes.end()), Hex("0300 DD05 0D0C0B0A"));
    EXPECT_EQ(p.mProtocolVersion, 0);
    G().AuthorizationID = 0;
}

TEST_F(ScriptedTest, DiscoveryResponseFillsEveryField) {
    NextLabel();
    link.Inject(SimLink::Response("0007F5010203", CurrentLabel(), FullDiscoveryAnswer().bytes));
    clsDiscover d;
    clsSnapResponse r;
    std::shared_ptr<clsZarn> z;
    ASSERT_TRUE(d.GetDiscoveryResponse(3, z, "eth-test", 8, r));
    ASSERT_NE(z, nullptr);
    EXPECT_EQ(z->MAC, "0007F5010203");
    EXPECT_EQ(z->Name, "Kitchen");
    EXPECT_EQ(z->ActiveProfile, 2);
    EXPECT_EQ(z->Rssi, -5);
    EXPECT_FALSE(z->AutoIPBusy);
    EXPECT_EQ(z->IpAddr, "192.168.1.20");
    EXPECT_EQ(z->HardwareID, 0x11);
    EXPECT_EQ(z->HardwareVersion, 3);
    EXPECT_EQ(z->FirmwareID, 0x100);
    EXPECT_TRUE(z->IsFirmwareIdValid);
    EXPECT_EQ(z->FirmwareVersion, 0x20304);
    EXPECT_EQ(z->FirmwareDate, "20261207");
    EXPECT_EQ(z->FirmwareTime, "12345600");
    EXPECT_EQ(z->BootloaderID, 0x10);
    EXPECT_EQ(z->BootloaderVersion, 0x101);
    EXPECT_TRUE(z->IsBootloaderIdValid);
    EXPECT_FALSE(z->IsInDownloadMode);
    EXPECT_EQ(z->NICName, "eth-test");
    EXPECT_EQ(z->NumProfiles, 4);
    EXPECT_EQ(z->ProtocolVersion, 8);
    EXPECT_TRUE(log.Has("Received discovery response, MAC='0007F5010203', name='Kitchen', DownloadMode=False)",
                        kvr::LEVEL_WATCH));
    EXPECT_TRUE(prompter.questions.empty());
    // The response was acknowledged to the device with its label.
    ASSERT_FALSE(link.sent.empty());
    EXPECT_EQ(link.sent.back().frameType, 3);
    EXPECT_EQ(link.sent.back().dest, "0007F5010203");
}

TEST_F(ScriptedTest, DiscoveryResponseWithoutOptionalFields) {
    NextLabel();
    Blocks b;
    b.Str(RID_DEVICE_NAME, "Bare", 34).Long(RID_BOOTLOADER_ID, 5).Word(RID_NUM_PROFILES, 0xFFFF);
    link.Inject(SimLink::Response("0007F5000009", CurrentLabel(), b.bytes, true));
    clsDiscover d;
    clsSnapResponse r;
    std::shared_ptr<clsZarn> z;
    ASSERT_TRUE(d.GetDiscoveryResponse(3, z, "eth", 8, r));
    EXPECT_EQ(z->HardwareID, -1);
    EXPECT_EQ(z->FirmwareVersion, -1);
    EXPECT_EQ(z->ActiveProfile, -1);
    EXPECT_EQ(z->IpAddr, "255.255.255.255");
    EXPECT_FALSE(z->IsFirmwareIdValid);
    EXPECT_FALSE(z->IsBootloaderIdValid) << "both boot-loader values are needed";
    EXPECT_EQ(z->NumProfiles, 0) << "a negative profile count becomes 0";
    EXPECT_TRUE(z->IsInDownloadMode) << "without the mode query the header bit decides";
    EXPECT_TRUE(prompter.questions.empty()) << "a missing mode query is no conflict";
}

TEST_F(ScriptedTest, DownloadModeConflictWarnsAndAsksAndKeepsTheQueriedMode) {
    const struct {
        bool bit;
        bool rid;
        const char* text;
    } rows[] = {
        {true, false,
         "GetDiscoveryResponse: consistency error - a download is set but the RID_OPERATION_MODE query indicates that "
         "the target is not in download mode."},
        {false, true,
         "GetDiscoveryResponse: consistency error - a download is not set but the RID_OPERATION_MODE query indicates "
         "that the target is in download mode."},
    };
    for (const auto& row : rows) {
        NextLabel();
        prompter.questions.clear();
        Blocks b;
        b.Str(RID_DEVICE_NAME, "Odd", 34).Word(RID_OPERATION_MODE, row.rid ? 1 : 0);
        link.Inject(SimLink::Response("0007F5000002", CurrentLabel(), b.bytes, row.bit));
        clsDiscover d;
        clsSnapResponse r;
        std::shared_ptr<clsZarn> z;
        ASSERT_TRUE(d.GetDiscoveryResponse(3, z, "eth", 8, r));
        ASSERT_NE(z, nullptr) << "the device is still listed";
        EXPECT_EQ(z->IsInDownloadMode, row.rid);
        EXPECT_TRUE(log.Has(row.text, kvr::LEVEL_WARNING)) << row.text;
        ASSERT_EQ(prompter.questions.size(), 1u);
        EXPECT_EQ(prompter.questions[0].text,
                  "Error: internal conflict regarding download mode status.  Please report this error to the software "
                  "provider.");
        EXPECT_EQ(prompter.questions[0].title, "Discovery Error");
        EXPECT_EQ(prompter.questions[0].buttons, kvr::PromptButtons::OK);
    }
}

TEST_F(ScriptedTest, FindZarnGivesUpAfterItsRetries) {
    NextLabel();
    clsDiscover d;
    kvr::MemoryProgressBar bar;
    std::string mac = "0007F5010203";
    std::shared_ptr<clsSnapResponse> r;
    const auto start = clock.NowMs();
    EXPECT_FALSE(d.FindZarn(3, mac, &bar, 3, "eth", 8, r));
    int requests = 0;
    for (const auto& f : link.sent) {
        requests += f.frameType == 0;
        EXPECT_EQ(f.label, CurrentLabel()) << "every retry re-uses the caller's label";
        if (f.frameType == 0) {
            EXPECT_EQ(f.dest, "0107F5000100");
        }
    }
    EXPECT_EQ(requests, 3);
    const auto waited = clock.NowMs() - start;
    EXPECT_GE(waited, 3 * clsDiscover::kCollectWindowMs);
    EXPECT_LT(waited, 3 * clsDiscover::kCollectWindowMs + 400);
    EXPECT_EQ(bar.Max(), 2);
    EXPECT_EQ(bar.Value(), 2);
}

TEST_F(ScriptedTest, FindNewZarnSkipsKnownDevices) {
    NextLabel();
    clsZarnPool known;
    known.AddZarn(Device("0007F5000001"));
    link.Inject(SimLink::Response("0007F5000001", CurrentLabel(), Blocks().Str(RID_DEVICE_NAME, "A", 34).bytes));
    link.Inject(SimLink::Response("0007F5000002", CurrentLabel(), Blocks().Str(RID_DEVICE_NAME, "B", 34).bytes));
    clsDiscover d;
    std::shared_ptr<clsZarn> fresh;
    ASSERT_TRUE(d.FindNewZarn(3, known, fresh, nullptr, 2, "eth", 8));
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fresh->MAC, "0007F5000002");
    EXPECT_EQ(fresh->Name, "B");

    NextLabel();
    link.Inject(SimLink::Response("0007F5000001", CurrentLabel(), Blocks().Str(RID_DEVICE_NAME, "A", 34).bytes));
    EXPECT_FALSE(d.FindNewZarn(3, known, fresh, nullptr, 1, "eth", 8));
    EXPECT_EQ(fresh, nullptr);
}

TEST_F(ScriptedTest, ProfileNamesAreReadInOneRequest) {
    clsZarn z;
    z.MAC = "0007F5000004";
    z.NICName = "eth-names";
    z.ProtocolVersion = 8;
    z.NumProfiles = 2;  // the highest profile number: three profiles
    z.ActiveProfile = 2;
    z.ProfileName = {"stale"};
    kvr::sim::DeviceConfig named = kvr::test::SimDevice(4, "Names");
    named.profiles = {{.name = "Factory"}, {.name = "Home"}, {.name = "Stage"}};
    kvr::sim::DeviceModel& device = link.AddDevice(named);
    clsDiscover d;
    ASSERT_TRUE(d.GetProfileData(z));
    EXPECT_EQ(z.ProfileName, (std::vector<std::string>{"Factory", "Home", "Stage"}));
    EXPECT_EQ(z.ActiveProfileName, "Stage");
    EXPECT_EQ(link.opened, std::vector<std::string>{"eth-names"});
    EXPECT_EQ(link.closes, 1);
    ASSERT_FALSE(link.sent.empty());
    EXPECT_EQ(link.sent[0].dest, z.MAC);
    EXPECT_EQ(link.sent[0].payload, Hex("0200 DC05 0000 0100 1200  0200 DC05 0100 0100 1200  0200 DC05 0200 0100 1200"));
    EXPECT_TRUE(log.Has("Getting profile data for device '0007F5000004'...", kvr::LEVEL_WATCH));
    EXPECT_TRUE(log.Has("Received profile data for device '0007F5000004'...", kvr::LEVEL_WATCH));

    // An active profile the device did not name leaves the active name empty.
    z.ActiveProfile = 5;
    ASSERT_TRUE(d.GetProfileData(z));
    EXPECT_EQ(z.ProfileName.size(), 3u);
    EXPECT_EQ(z.ActiveProfileName, "");
    z.ActiveProfile = -1;
    ASSERT_TRUE(d.GetProfileData(z));
    EXPECT_EQ(z.ActiveProfileName, "");

    // No answer: failure, logged.
    device.SetFaults({.mute = true});
    EXPECT_FALSE(d.GetProfileData(z));
    EXPECT_TRUE(log.Has("GetProfileData Error: cCommand.SendEx returned failure code!", kvr::LEVEL_ERROR));
}

TEST(DeviceCapabilities, SecurityInterfaceCheck) {
    const struct {
        const char* what;
        Blocks answer;
        bool expected;
        const char* warning;  // a warning that must appear (empty: no warning at all)
    } rows[] = {
        {"full support", Blocks().Word(RID_SECURITY, 2).Error(RID_WPA_PASSPHRASE, 1).Word(RID_WPA_CIPHER, 0).Block(RID_WPA_CIPHER_LIST, {0, 0, 1, 0}),
         true, ""},
        {"security refused with code 5", Blocks().Error(RID_SECURITY, 5).Error(RID_WPA_PASSPHRASE, 1).Word(RID_WPA_CIPHER, 0).Block(RID_WPA_CIPHER_LIST, {0, 0}),
         true, "CheckForV16encryption: failed to read Security value from target, but support is indicated.  (fieldlen=0, err/stat code=5)"},
        {"no security word", Blocks().Error(RID_SECURITY, 2).Error(RID_WPA_PASSPHRASE, 1).Word(RID_WPA_CIPHER, 0).Block(RID_WPA_CIPHER_LIST, {0, 0}),
         false, "CheckForV16encryption: new Security interface is not supported by target.  WPA-PSK cannot be used.  (fieldlen=0, err/stat code=2)"},
        {"passphrase readable", Blocks().Word(RID_SECURITY, 2).Str(RID_WPA_PASSPHRASE, "secret").Word(RID_WPA_CIPHER, 0).Block(RID_WPA_CIPHER_LIST, {0, 0}),
         false, "CheckForV16encryption: WPA passphrase is not supported by target.  WPA-PSK cannot be used.  "},
        {"no cipher list", Blocks().Word(RID_SECURITY, 2).Error(RID_WPA_PASSPHRASE, 1).Word(RID_WPA_CIPHER, 1),
         true, "CheckForV16encryption: wep authentication (shared or open) is not supported by target.  (note: not required functionality)"},
    };
    for (const auto& row : rows) {
        kvr::test::LogRecorder log;
        clsSnapResponse r;
        r.LoadFrame(2, 5, 0, row.answer.bytes.data(), row.answer.bytes.size());
        clsZarn z;
        EXPECT_EQ(z.CheckForV16encryption(r), row.expected) << row.what;
        const auto warnings = log.Find("CheckForV16encryption", kvr::LEVEL_WARNING);
        if (std::string(row.warning).empty())
            EXPECT_TRUE(warnings.empty()) << row.what << ": " << (warnings.empty() ? "" : warnings[0].message);
        else
            EXPECT_FALSE(log.Find(row.warning, kvr::LEVEL_WARNING).empty()) << row.what;
    }
}
