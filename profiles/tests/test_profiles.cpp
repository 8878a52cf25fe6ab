// The profile exchange and the editor's logic against simulated devices on a
// private virtual segment, plus the validation table.
#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "ByteReader.h"
#include "RidBlocks.h"
#include "ProfileEditor.h"
#include "SimTestSupport.h"
#include "UiTestSupport.h"
#include "clsDiscover.h"
#include "clsPayload.h"
#include "clsSnapResponse.h"
#include "modWLAN.h"

namespace {

using namespace kvr::profiles;
using devtest::SimDevice;
using devtest::SimMac;

// The command exchange, with attempts capped so a silent device fails fast.
class DirectExchange : public CommandProfileExchange {
public:
    long maxAttempts = 15;
    std::function<void()> during;   // runs while the request is under way
    bool Send(clsZarn& z, clsPayload& p, std::uint8_t kind, const std::string& title, long attempts, float interval,
              std::shared_ptr<clsSnapResponse>& r) override {
        if (during) during();
        return CommandProfileExchange::Send(z, p, kind, title, std::min(attempts, maxAttempts), interval, r);
    }
};

// One RID block of a write request: RID and value bytes.
using Block = std::pair<Rid, std::vector<std::uint8_t>>;

std::vector<std::vector<Block>> WriteRequests(kvr::sim::Simulator& sim, const kvr::sim::Mac& mac) {
    std::vector<std::vector<Block>> out;
    for (const auto& f : sim.FrameLog(mac)) {
        if (f.outgoing || f.dropped || f.kind != 1 || f.version != 8) continue;
        kvr::ByteReader r(f.bytes.data(), f.bytes.size());
        r.Seek(28);
        const std::uint16_t len = r.U16();
        r.Seek(36);
        std::vector<Block> blocks;
        for (std::size_t end = 36 + len; r.Ok() && r.Pos() + 4 <= end;) {
            const std::uint16_t count = r.U16();
            const Rid rid = r.U16();
            std::vector<std::uint8_t> value(count > 0 ? count * 2u - 2u : 0u);
            r.Bytes(value.data(), value.size());
            if (r.Ok()) blocks.emplace_back(rid, value);
        }
        out.push_back(blocks);
    }
    return out;
}

class Profiles : public devtest::SimulatedSegments {
protected:
    void TearDown() override {
        kvr::SetClock(nullptr);
        SimulatedSegments::TearDown();
    }
    // A device on segment "a" and its editor, loaded and showing its first profile.
    ProfileEditor& Open(kvr::sim::DeviceConfig d, const std::string& tag = "a") {
        d.mac = SimMac(1);
        sim = &Start(tag, {d});
        PoolAdapters({Nic(tag)});
        kvr::SetClock(&clock);  // the command exchange's pause after each request passes at once
        zarn.MAC = kvr::sim::MacText(d.mac);
        zarn.NICName = Nic(tag);
        zarn.ProtocolVersion = 8;
        zarn.NumProfiles = static_cast<std::int16_t>(d.profiles.size() - 1);
        zarn.ActiveProfile = static_cast<std::int16_t>(d.activeProfile);
        editor = std::make_unique<ProfileEditor>(zarn, exchange);
        EXPECT_TRUE(editor->ActivateProfile(editor->Load()));
        G().RediscoveryNeeded = false;  // as the main window leaves it when it opens the editor
        return *editor;
    }
    kvr::sim::Profile Stored(int n) { return sim->State(SimMac(1)).profiles.at(static_cast<std::size_t>(n)); }

    kvr::test::RecordingPrompter prompter;
    kvr::test::LogRecorder log;
    DirectExchange exchange;
    // Pauses pass at once and real time runs ten times faster: a silent
    // device's time-outs and the discovery window take a tenth of their time.
    kvr::test::SkipSleepClock clock{10};
    clsZarn zarn;
    kvr::sim::Simulator* sim = nullptr;
    std::unique_ptr<ProfileEditor> editor;
};

kvr::sim::DeviceConfig Device(bool wpa, int profiles = 3) {
    auto d = SimDevice(1, "Stage");
    d.wpaCapable = wpa;
    d.profiles.resize(static_cast<std::size_t>(profiles));
    for (int i = 0; i < profiles; ++i) d.profiles[static_cast<std::size_t>(i)].name = "P" + std::to_string(i);
    d.activeProfile = 1;
    return d;
}

TEST(ProfileValues, ValidateSettingsTable) {
    struct Row {
        const char* what;
        std::function<void(ProfileFields&)> edit;
        std::vector<Control> failing;
    };
    auto wep = [](const char* key, int index) {
        return [=](ProfileFields& f) { f.encryption = kWEP; f.wepKey = key; f.keyIndex = index; };
    };
    auto wpa = [](std::string phrase, int cipher) {
        return [=](ProfileFields& f) { f.encryption = kWPAPSK; f.passphrase = phrase; f.cipher = cipher; };
    };
    auto address = [](std::size_t box, const char* text) {
        return [=](ProfileFields& f) { f.dhcp = false; f.addresses[box] = text; };
    };
    auto proxy = [](std::string server, const char* port) {
        return [=](ProfileFields& f) { f.useProxy = true; f.proxyServer = server; f.proxyPort = port; };
    };
    const std::vector<Row> rows = {
        {"valid static profile", [](ProfileFields&) {}, {}},
        {"WEP 5 text", wep("abcde", 3), {}},
        {"WEP 26 hex", wep("0a1B2c3D4e0a1B2c3D4e0a1B2c", 0), {}},
        {"WEP 6 chars", wep("abcdef", 0), {Control::txtZarnWep}},
        {"WEP bad hex", wep("0a1B2c3D4g", 0), {Control::txtZarnWep}},
        {"WEP masked key re-chosen", wep("********", 0), {Control::txtZarnWep}},
        {"WEP no index", wep("abcde", -1), {Control::cbKeyIndex}},
        {"WEP blank SSID", [&](ProfileFields& f) { wep("abcde", 0)(f); f.ssid.clear(); }, {Control::ebZarnSsid}},
        {"passphrase 6", wpa("123456", kCipherAES), {}},
        {"passphrase 63", wpa(std::string(63, 'p'), kCipherTKIP), {}},
        {"passphrase 5", wpa("12345", kCipherAES), {Control::txtWpaPassphrase}},
        {"passphrase 64", wpa(std::string(64, 'p'), kCipherAES), {Control::txtWpaPassphrase}},
        {"cipher unknown", wpa("123456", kCipherUnknown), {Control::cmbCipher}},
        {"cipher none", wpa("123456", kNothingSelected), {Control::cmbCipher}},
        {"DNS2 empty", address(4, ""), {}},
        {"DNS1 empty", address(3, ""), {Control::ebDNS1}},
        {"three parts", address(0, "192.168.1"), {Control::ebIPAddress}},
        {"five parts", address(0, "1.2.3.4.5"), {Control::ebIPAddress}},
        {"256", address(1, "256.1.1.1"), {Control::ebNetmask}},
        {"hex part", address(2, "0x1F.1.1.1"), {Control::ebGateway}},
        {"exponent part", address(2, "1e2.1.1.1"), {Control::ebGateway}},
        {"four digits", address(0, "0192.1.1.1"), {Control::ebIPAddress}},
        {"blank inside", address(0, "1. 2.3.4"), {Control::ebIPAddress}},
        {"addresses ignored with DHCP", [](ProfileFields& f) { f.dhcp = true; f.addresses = {}; }, {}},
        {"proxy port 1", proxy("proxy", "1"), {}},
        {"proxy port 65535", proxy(std::string(255, 'x'), "65535"), {}},
        {"proxy port 0", proxy("proxy", "0"), {Control::ebProxyPort}},
        {"proxy port 65536", proxy("proxy", "65536"), {Control::ebProxyPort}},
        {"proxy port letters", proxy("proxy", "80a"), {Control::ebProxyPort}},
        {"proxy port empty", proxy("proxy", ""), {Control::ebProxyPort}},
        {"proxy port negative", proxy("proxy", "-80"), {Control::ebProxyPort}},
        {"proxy server empty", proxy("", "80"), {Control::ebProxyServer}},
        {"proxy server 256", proxy(std::string(256, 'x'), "80"), {Control::ebProxyServer}},
        {"name empty", [](ProfileFields& f) { f.profileName.clear(); }, {Control::ebName}},
        {"name 33", [](ProfileFields& f) { f.profileName = std::string(33, 'n'); }, {Control::ebName}},
        {"SSID 33", [](ProfileFields& f) { f.ssid = std::string(33, 's'); }, {Control::ebZarnSsid}},
        {"pass phrase not Latin-1", [](ProfileFields& f) { f.notLatin1 = {Control::txtWpaPassphrase}; }, {Control::txtWpaPassphrase}},
    };
    for (const Row& row : rows) {
        ProfileFields f;
        f.profileName = "Home";
        f.ssid = "HomeNet";
        f.addresses = {"192.168.1.20", "255.255.255.0", "192.168.1.1", "192.168.1.1", "8.8.8.8"};
        row.edit(f);
        std::vector<Control> failing;
        for (const auto& failure : ValidateSettings(f, true, true)) {
            failing.push_back(failure.control);
            EXPECT_FALSE(failure.labelText.empty()) << row.what;
        }
        EXPECT_EQ(failing, row.failing) << row.what;
    }
    std::int32_t length = 0;
    std::vector<std::uint8_t> bytes;
    ASSERT_TRUE(WEPKeyAsVar("0a1B2c3D4e", length, bytes));
    EXPECT_EQ(bytes, (std::vector<std::uint8_t>{0x0A, 0x1B, 0x2C, 0x3D, 0x4E}));
    EXPECT_FALSE(WEPKeyAsVar("123456", length, bytes));
    EXPECT_EQ(length, 0);
}

// Each kind of field goes to the device with Apply and comes back with Refresh.
TEST_F(Profiles, EditApplyRefreshReadsBackEveryKindOfField) {
    ProfileEditor& e = Open(Device(true));
    ASSERT_EQ(e.ProfileShown(), 1);
    EXPECT_TRUE(e.SecurityWord());
    struct Step {
        const char* what;
        std::function<void(ProfileFields&)> edit;
        void (ProfileEditor::*handler)();
        std::function<void(const ProfileFields&, const kvr::sim::Profile&)> check;
    };
    const std::string longProxy(40, 'q');
    using P = const kvr::sim::Profile&;
    const std::vector<Step> steps = {
        {"static addresses", [](ProfileFields& f) { f.dhcp = false; f.addresses = {"10.0.0.7", "255.0.0.0", "10.0.0.1", "10.0.0.2", ""}; },
         &ProfileEditor::FieldEdited, [](const ProfileFields& f, P) {
             EXPECT_FALSE(f.dhcp);
             EXPECT_EQ(f.addresses, (std::array<std::string, 5>{"10.0.0.7", "255.0.0.0", "10.0.0.1", "10.0.0.2", "0.0.0.0"}));
         }},
        {"DHCP, active profile", [](ProfileFields& f) { f.dhcp = true; }, &ProfileEditor::DhcpClicked,
         [](const ProfileFields& f, P) { EXPECT_TRUE(f.dhcp); EXPECT_EQ(f.addresses[0], "192.168.1.20") << "current address"; }},
        {"short proxy", [](ProfileFields& f) { f.useProxy = true; f.proxyServer = std::string(32, 'p'); f.proxyPort = "65535"; },
         &ProfileEditor::FieldEdited, [](const ProfileFields& f, P) {
             EXPECT_EQ(f.proxyServer, std::string(32, 'p'));
             EXPECT_EQ(f.proxyPort, "65535") << "shown unsigned";
         }},
        {"long proxy", [&](ProfileFields& f) { f.proxyServer = longProxy; }, &ProfileEditor::FieldEdited,
         [&](const ProfileFields& f, P) { EXPECT_EQ(f.proxyServer, longProxy); }},
        {"SSID, name, ad-hoc", [](ProfileFields& f) { f.ssid = std::string(32, 's'); f.profileName = "Studio"; f.adhoc = true; },
         &ProfileEditor::FieldEdited, [](const ProfileFields& f, P) {
             EXPECT_EQ(f.ssid + f.profileName, std::string(32, 's') + "Studio");
             EXPECT_TRUE(f.adhoc);
         }},
        {"WEP 64", [](ProfileFields& f) { f.encryption = kWEP; f.wepKey = "abcde"; f.keyIndex = 2; },
         &ProfileEditor::WepKeyEdited, [](const ProfileFields& f, P p) {
             EXPECT_EQ(f.encryption, kWEP);
             EXPECT_EQ(f.wepKey, "********") << "the key is never read back";
             EXPECT_EQ(std::make_tuple(p.wepKeyIndex, p.wepKeys[2][0], p.wepKeys[2][2]), std::make_tuple(2, 5, 'a'));
         }},
        {"WEP 128", [](ProfileFields& f) { f.encryption = kWEP; f.wepKey = "0a1b2c3d4e5f60718293a4b5c6"; f.keyIndex = 3; },
         &ProfileEditor::WepKeyEdited, [](const ProfileFields&, P p) {
             EXPECT_EQ(std::make_tuple(p.wepKeyIndex, p.wepKeys[3][0], p.wepKeys[3][14]), std::make_tuple(3, 13, 0xC6));
         }},
        {"WPA", [](ProfileFields& f) { f.encryption = kWPAPSK; f.passphrase = "correct horse"; f.cipher = kCipherTKIP; f.adhoc = false; },
         &ProfileEditor::PassphraseEdited, [](const ProfileFields& f, P p) {
             EXPECT_EQ(std::make_tuple(f.encryption, f.cipher), std::make_tuple(int(kWPAPSK), int(kCipherTKIP)));
             EXPECT_EQ(f.passphrase, "") << "the device does not give the pass phrase out";
             EXPECT_EQ(p.wpaPassphrase, "correct horse");
         }},
        {"none", [](ProfileFields& f) { f.encryption = kNoEncryption; }, &ProfileEditor::EncryptionChosen,
         [](const ProfileFields& f, P p) { EXPECT_EQ(f.encryption, kNoEncryption); EXPECT_EQ(p.security, 0); }},
    };
    for (const Step& step : steps) {
        step.edit(e.fields);
        (e.*step.handler)();
        ASSERT_TRUE(e.UnsavedChanges()) << step.what;
        ASSERT_TRUE(e.SaveChanges()) << step.what;
        e.Refresh(1);
        EXPECT_FALSE(e.UnsavedChanges()) << step.what;
        step.check(e.fields, Stored(1));
    }
    EXPECT_TRUE(G().RediscoveryNeeded);
    for (const auto& line : log.lines) EXPECT_EQ(line.message.find("abcde"), std::string::npos) << line.message;
    EXPECT_TRUE(prompter.questions.empty());
}

TEST_F(Profiles, RenameAndMakeActiveAreListedAfterRediscovery) {
    auto d = Device(false);
    d.activeChangeRestartMs = 300;  // 3 s on the test's clock: several of the read's one-second attempts
    ProfileEditor& e = Open(d);
    e.deviceName = "Renamed";
    e.DeviceNameEdited();
    EXPECT_TRUE(e.States().cmdApplyName);
    e.Refresh(1);
    EXPECT_EQ(e.deviceName, "Renamed") << "a read keeps the name being edited";
    EXPECT_TRUE(e.DeviceNameChanged() && e.States().cmdApplyName);
    exchange.during = [&] { EXPECT_FALSE(e.ActivateProfile(2)); };
    ASSERT_TRUE(e.SaveName());
    exchange.during = nullptr;
    EXPECT_TRUE(log.Has("Cannot read profile data while a transaction is in progress!", kvr::LEVEL_WARNING));
    EXPECT_FALSE(e.DeviceNameChanged());
    EXPECT_TRUE(G().RediscoveryNeeded);
    ASSERT_TRUE(e.SetNewActiveProfile(2)) << "the read waits out the device's restart";
    EXPECT_EQ(e.ActiveProfile(), 2);
    EXPECT_EQ(e.MarkedTab(), 2);
    EXPECT_TRUE(e.cbActive);

    clsDiscover discover;
    std::shared_ptr<clsZarnPool> found;
    ASSERT_TRUE(discover.DiscoverAllZarns(8, found, nullptr, {}, 1));
    auto listed = found->FindZarn(zarn.MAC);
    ASSERT_NE(listed, nullptr);
    EXPECT_EQ(listed->Name, "Renamed");
    EXPECT_EQ(listed->NumProfiles, 2);
    EXPECT_EQ(listed->ActiveProfileName, "P2") << "the last profile, now named by discovery";

    // Profile 0 is read-only and cannot be made active from here.
    e.Refresh(0);
    EXPECT_TRUE(e.States().readOnly);
    EXPECT_FALSE(e.States().cmbEncryption);
    e.MakeActiveClicked(true);
    EXPECT_FALSE(e.cbActive);
    ASSERT_EQ(prompter.questions.size(), 1u);
    EXPECT_EQ(prompter.questions[0].text.rfind("This profile can only be activated", 0), 0u);
    zarn.NumProfiles = 32767;
    e.Load();
    EXPECT_EQ(e.TabCount(), kMaxProfileNumber + 1);
    EXPECT_EQ(log.CountContaining("only profiles 0 to 8 are shown", kvr::LEVEL_WARNING), 1u);
}

// The request SaveChanges sends, per security capability, as kvrsim saw it.
TEST_F(Profiles, SaveRequestPerSecurityCapability) {
    auto word = [](std::uint16_t v) { return std::vector<std::uint8_t>{std::uint8_t(v), std::uint8_t(v >> 8)}; };
    struct Row {
        bool wpa;
        int encryption;
        void (ProfileEditor::*handler)();
        std::vector<Block> security;  // between RID_SSID and RID_ADHOC
    };
    const std::vector<std::uint8_t> slot{13, 0, '1', '2', '3', '4', '5', '6', '7', '8', '9', '0', 'a', 'b', 'c', 0};
    std::vector<std::uint8_t> keys(64, 0);
    std::copy(slot.begin(), slot.end(), keys.begin() + 16);
    std::vector<std::uint8_t> phrase{8, 0, 'p', 'a', 's', 's', 'w', 'o', 'r', 'd'};
    const std::vector<Row> rows = {
        {false, kNoEncryption, &ProfileEditor::EncryptionChosen, {{RID_WEP_ENABLED, word(0)}}},
        {false, kWEP, &ProfileEditor::WepKeyEdited,
         {{RID_WEP_ENABLED, word(1)}, {RID_WEP_KEYS, keys}, {RID_WEP_KEY_INDEX, word(1)}}},
        {false, kWEP, &ProfileEditor::FieldEdited, {}},  // WEP chosen before, key not edited: no security change
        {true, kNoEncryption, &ProfileEditor::EncryptionChosen, {{RID_SECURITY, word(0)}}},
        {true, kWEP, &ProfileEditor::WepKeyEdited,
         {{RID_SECURITY, word(1)}, {RID_WEP_KEYS, keys}, {RID_WEP_KEY_INDEX, word(1)}}},
        {true, kWPAPSK, &ProfileEditor::PassphraseEdited,
         {{RID_SECURITY, word(2)}, {RID_WPA_PASSPHRASE, phrase}, {RID_WPA_CIPHER, word(0)}}},
    };
    int n = 0;
    for (const Row& row : rows) {
        auto d = Device(row.wpa);
        d.profiles[1].security = row.encryption == kWEP && row.handler == &ProfileEditor::FieldEdited ? 1 : 0;
        if (row.encryption == kWPAPSK) d.profiles[1].security = 2;
        d.profiles[1].adhoc = row.encryption == kWPAPSK;   // reading WPA-PSK clears the ad-hoc box
        d.profiles[1].wepEnabled = d.profiles[1].security == 1;
        ProfileEditor& e = Open(d, "r" + std::to_string(++n));
        e.fields.ssid = "Net";
        e.fields.encryption = row.encryption;
        e.fields.wepKey = "1234567890abc";
        e.fields.keyIndex = 1;
        e.fields.passphrase = "password";
        e.fields.cipher = kCipherAES;
        e.fields.useProxy = true;
        e.fields.proxyServer = "px";
        e.fields.proxyPort = "8080";
        (e.*row.handler)();
        sim->ClearLogs();
        ASSERT_TRUE(e.SaveChanges());
        auto writes = WriteRequests(*sim, SimMac(1));
        ASSERT_FALSE(writes.empty());
        std::vector<Block> expected{{RID_PROFILE_SELECT, word(1)},
                                    {RID_DHCP, word(1)},
                                    {RID_USE_PROXY, word(1)},
                                    {RID_PROXY_SERVER, {2, 0, 'p', 'x'}},
                                    {RID_PROXY_PORT, word(8080)},
                                    {RID_SSID, {3, 0, 'N', 'e', 't'}}};
        expected[3].second.resize(34, 0);
        expected[5].second.resize(34, 0);
        expected.insert(expected.end(), row.security.begin(), row.security.end());
        expected.push_back({RID_ADHOC, word(0)});
        expected.push_back({RID_PROFILE_NAME, {2, 0, 'P', '1'}});
        expected.back().second.resize(34, 0);
        EXPECT_EQ(writes[0], expected) << "wpa=" << row.wpa << " encryption=" << row.encryption;
    }
}

TEST_F(Profiles, FailedOrRefusedWritesKeepTheEdits) {
    auto d = Device(true);
    d.faults.refuseWrite = {{RID_SSID, 6}};
    ProfileEditor& e = Open(d);
    e.fields.ssid = "Elsewhere";
    e.FieldEdited();
    EXPECT_FALSE(e.SaveChanges());
    EXPECT_TRUE(e.UnsavedChanges());
    EXPECT_EQ(e.fields.ssid, "Elsewhere");
    EXPECT_EQ(log.Find("refused RID 0xFC02 (error code 6)", kvr::LEVEL_WARNING).size(), 1u);
    ASSERT_EQ(prompter.questions.size(), 1u);
    EXPECT_EQ(prompter.questions[0].text.rfind("Could not access the Zarn Adapter.", 0), 0u);

    kvr::sim::Faults silent;
    silent.mute = true;  // the device stops answering
    sim->SetFaults(SimMac(1), silent);
    e.deviceName = "Gone";
    e.DeviceNameEdited();
    EXPECT_FALSE(e.SaveName());
    EXPECT_TRUE(e.DeviceNameChanged()) << "Close still warns";
    EXPECT_FALSE(e.SaveChanges());
    EXPECT_TRUE(e.UnsavedChanges());
    EXPECT_TRUE(e.States().cmdApply) << "Apply can be tried again";

    // A read that fails shows nothing of the profile before it.
    exchange.maxAttempts = 1;
    prompter.questions.clear();
    e.TabClicked(2);
    EXPECT_FALSE(e.ProfileValid());
    EXPECT_EQ(e.ProfileShown(), 1) << "the previous tab again, not read a second time";
    EXPECT_EQ(prompter.questions.size(), 2u) << "the unsaved changes, and one failed read";
    EXPECT_EQ(e.EncryptionEntries().size(), 2u) << "no WPA-PSK without a read";
    EXPECT_EQ(e.fields.ssid, "");
    EXPECT_EQ(e.fields.profileName, "");
}

}  // namespace
