// Discovery, device searches and device waits against simulated devices on
// private virtual segments, through the shipped adapter library.
#include <gtest/gtest.h>

#include "Rids.h"
#include "SimTestSupport.h"
#include "SkipSleepClock.h"
#include "clsDiscover.h"
#include "clsSnapResponse.h"
#include "clsZarn.h"
#include "clsZarnPool.h"
#include "modSNAP.h"

using devtest::SimDevice;
using devtest::SimMac;
using kvr::sim::MacText;

namespace {

class Discovery : public devtest::SimulatedSegments {
protected:
    void SetUp() override {
        SimulatedSegments::SetUp();
        kvr::SetClock(&clock);
    }
    std::shared_ptr<clsZarn> Listed(const std::shared_ptr<clsZarnPool>& pool, const kvr::sim::Mac& mac) {
        std::string text = MacText(mac);
        return pool ? pool->FindZarn(text) : nullptr;
    }
    // The device object for a simulated device on segment a, as a search lists it.
    clsZarn OnSegmentA(const kvr::sim::Mac& mac, std::int16_t protocolVersion = 8) const {
        clsZarn z;
        z.MAC = MacText(mac);
        z.NICName = Nic("a");
        z.ProtocolVersion = protocolVersion;
        return z;
    }
    kvr::test::LogRecorder log;
    kvr::test::RecordingPrompter prompter;
    // Pauses pass at once and real time runs ten times faster: a one-second
    // discovery window listens for 100 ms, in which the simulator answers.
    kvr::test::SkipSleepClock clock{10};
};

// Counts the profile-select blocks of a profile-name request.
int ProfileSelects(const std::vector<std::uint8_t>& payload) {
    int n = 0;
    for (std::size_t i = 0; i + 4 <= payload.size();) {
        const unsigned count = payload[i] | (payload[i + 1] << 8);
        const unsigned rid = payload[i + 2] | (payload[i + 3] << 8);
        if (rid == RID_PROFILE_SELECT) ++n;
        if (count == 0) break;
        i += 2 + 2 * count;
    }
    return n;
}

// An event pump that runs a callback (the window's Cancel button, say).
class CallbackPump : public kvr::EventPump {
public:
    explicit CallbackPump(std::function<void()> f) : m_f(std::move(f)) { kvr::SetEventPump(this); }
    ~CallbackPump() override { kvr::SetEventPump(nullptr); }
    void DoEvents() override { m_f(); }

private:
    std::function<void()> m_f;
};

// The program's link, except that requests to one device are lost on the way.
class DroppingLink : public kvr::SnapLink {
public:
    explicit DroppingLink(std::string mac) : m_inner(kvr::CurrentSnapLink()), m_mac(std::move(mac)) {
        kvr::SetSnapLink(this);
    }
    ~DroppingLink() override { kvr::SetSnapLink(nullptr); }
    bool Write(std::int32_t hNIC, const std::string& destMAC, std::int16_t version, std::uint8_t frameType,
               std::int16_t label, std::uint8_t downloadMode, std::int16_t payloadLen, std::uint8_t modifiedSnap,
               std::vector<std::uint8_t>& payload) override {
        if (destMAC == m_mac && (frameType & 7) == 0) {
            ++dropped;
            return true;
        }
        return m_inner.Write(hNIC, destMAC, version, frameType, label, downloadMode, payloadLen, modifiedSnap,
                             payload);
    }
    bool Read(std::int32_t hNIC, kvr::SnapFrame& frame) override { return m_inner.Read(hNIC, frame); }
    bool Open(const std::string& description, std::int32_t& hNIC) override { return m_inner.Open(description, hNIC); }
    bool Close(std::int32_t hNIC) override { return m_inner.Close(hNIC); }
    int dropped = 0;

private:
    kvr::SnapLink& m_inner;
    std::string m_mac;
};

}  // namespace

TEST_F(Discovery, TwoDevicesOnOneAdapterAreEachListedOnce) {
    auto a = SimDevice(1, "Kitchen");
    a.activeProfile = 1;
    auto b = SimDevice(2, "Garden");
    b.rssi = 12;
    auto& sim = Start("a", {a, b});
    PoolAdapters({Nic("a")});

    clsDiscover d;
    std::shared_ptr<clsZarnPool> found;
    kvr::MemoryProgressBar bar;
    std::vector<std::string> status;
    ASSERT_TRUE(d.DiscoverAllZarns(8, found, &bar, [&](const std::string& s) { status.push_back(s); }, 2));
    ASSERT_NE(found, nullptr);
    ASSERT_EQ(found->Count(), 2u) << "each device answered both requests but is listed once";
    auto kitchen = Listed(found, a.mac);
    auto garden = Listed(found, b.mac);
    ASSERT_NE(kitchen, nullptr);
    ASSERT_NE(garden, nullptr);
    EXPECT_EQ(kitchen->Name, "Kitchen");
    EXPECT_EQ(kitchen->NICName, Nic("a"));
    EXPECT_EQ(kitchen->ProtocolVersion, 8);
    EXPECT_EQ(kitchen->IpAddr, "192.168.1.20");
    EXPECT_EQ(garden->Rssi, 12);
    EXPECT_EQ(garden->GetRSSI(), "Marginal");
    // Both requests reached both devices, with the adapter's one label.
    EXPECT_EQ(sim.Counters(a.mac).discoveryRequests, 2u);
    EXPECT_EQ(sim.Counters(b.mac).discoveryRequests, 2u);
    std::vector<std::uint16_t> labels;
    for (const auto& f : sim.FrameLog(a.mac))
        if (!f.outgoing && f.kind == 0 && (f.bytes[0] & 1)) labels.push_back(f.label);
    ASSERT_EQ(labels.size(), 2u);
    EXPECT_EQ(labels[0], labels[1]);
    // Profile names were read: the sim's default profiles are named.
    EXPECT_EQ(kitchen->ProfileName.size(), static_cast<std::size_t>(kitchen->NumProfiles) + 1);
    EXPECT_GT(kitchen->NumProfiles, 0);
    EXPECT_FALSE(kitchen->ActiveProfileName.empty());
    EXPECT_EQ(kitchen->ActiveProfileName, kitchen->ProfileName.at(1));
    EXPECT_EQ(status, std::vector<std::string>{"Using adapter: " + Nic("a")});
    EXPECT_EQ(bar.Max(), 1);
    EXPECT_TRUE(prompter.questions.empty());
}

TEST_F(Discovery, DevicesOnTwoAdaptersAreAllFoundAndAnUnopenableAdapterIsReported) {
    Start("a", {SimDevice(1, "One"), SimDevice(2, "Two")});
    Start("b", {SimDevice(3, "Three")});
    const std::string missing = "KVR virtual segment gone" + std::to_string(::getpid());
    PoolAdapters({Nic("a"), missing, Nic("b")});

    clsDiscover d;
    std::shared_ptr<clsZarnPool> found;
    std::vector<std::string> status;
    ASSERT_TRUE(d.DiscoverAllZarns(8, found, nullptr, [&](const std::string& s) { status.push_back(s); }, 1));
    ASSERT_NE(found, nullptr);
    ASSERT_EQ(found->Count(), 3u);
    EXPECT_EQ(Listed(found, SimMac(1))->NICName, Nic("a"));
    EXPECT_EQ(Listed(found, SimMac(2))->NICName, Nic("a"));
    EXPECT_EQ(Listed(found, SimMac(3))->NICName, Nic("b"));
    EXPECT_EQ(found->colZarn[2]->MAC, MacText(SimMac(3))) << "adapters are searched in pool order";
    EXPECT_EQ(status.size(), 3u);

    EXPECT_TRUE(log.Has("DiscoverAllZarns: Failed to open the network adapter: " + missing, kvr::LEVEL_ERROR));
    ASSERT_EQ(prompter.questions.size(), 1u);
    EXPECT_EQ(prompter.questions[0].text, "Failed to open the network adapter: " + missing);
    EXPECT_EQ(prompter.questions[0].title, "KVR Installer");
    EXPECT_EQ(prompter.questions[0].icon, kvr::PromptIcon::Warning);
}

TEST_F(Discovery, ProfileCountClampAndEmptyNameRequest) {
    auto many = SimDevice(1, "Many");
    many.reportedNumProfiles = 12;
    std::vector<kvr::sim::Profile> profiles(12);
    for (int i = 0; i < 12; ++i) profiles[static_cast<std::size_t>(i)].name = "P" + std::to_string(i);
    many.profiles = profiles;
    many.activeProfile = 3;
    auto none = SimDevice(2, "None");
    none.reportedNumProfiles = 0;
    auto& sim = Start("a", {many, none});
    PoolAdapters({Nic("a")});

    clsDiscover d;
    std::shared_ptr<clsZarnPool> found;
    ASSERT_TRUE(d.DiscoverAllZarns(8, found, nullptr, {}, 1));
    ASSERT_NE(found, nullptr);
    ASSERT_EQ(found->Count(), 2u);

    auto m = Listed(found, many.mac);
    EXPECT_EQ(m->NumProfiles, 8);
    ASSERT_EQ(m->ProfileName.size(), 9u) << "profiles 0 to NumProfiles";
    EXPECT_EQ(m->ProfileName[8], "P8");
    EXPECT_EQ(m->ActiveProfileName, "P3");
    auto reqs = devtest::UnicastReadRequests(sim, many.mac);
    ASSERT_EQ(reqs.size(), 1u) << "one profile-name transaction per device";
    EXPECT_EQ(ProfileSelects(reqs[0]), 9);
    EXPECT_EQ(reqs[0].size(), 9u * 10u);

    auto n = Listed(found, none.mac);
    ASSERT_NE(n, nullptr) << "a device without profiles stays listed";
    EXPECT_EQ(n->NumProfiles, 0);
    EXPECT_EQ(n->ProfileName.size(), 1u) << "profile 0 always exists";
    reqs = devtest::UnicastReadRequests(sim, none.mac);
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(ProfileSelects(reqs[0]), 1);
}

TEST_F(Discovery, InconsistentDownloadModeIsReportedAndTheQueriedModeKept) {
    auto odd = SimDevice(1, "Odd");
    odd.downloadMode = true;
    odd.faults.inconsistentDownloadMode = true;
    Start("a", {odd});
    PoolAdapters({Nic("a")});

    clsDiscover d;
    std::shared_ptr<clsZarnPool> found;
    ASSERT_TRUE(d.DiscoverAllZarns(8, found, nullptr, {}, 1));
    ASSERT_NE(found, nullptr);
    auto z = Listed(found, odd.mac);
    ASSERT_NE(z, nullptr);
    EXPECT_FALSE(z->IsInDownloadMode);
    EXPECT_EQ(z->GetDownloadMode(), "Normal");
    EXPECT_TRUE(log.Has("GetDiscoveryResponse: consistency error - a download is set but the RID_OPERATION_MODE "
                        "query indicates that the target is not in download mode.",
                        kvr::LEVEL_WARNING));
    ASSERT_FALSE(prompter.questions.empty());
    EXPECT_EQ(prompter.questions[0].title, "Discovery Error");
}

TEST_F(Discovery, DeviceWhoseNamesCannotBeReadIsRemovedAndTheNextStillRead) {
    auto leaves = SimDevice(1, "Leaves");
    auto stays = SimDevice(2, "Stays");
    stays.faults.delayMs = 30;  // answers after the first device, so it follows it in the list
    Start("a", {leaves, stays});
    PoolAdapters({Nic("a")});

    // The first device answers discovery, but its profile-name requests are lost.
    DroppingLink link(MacText(leaves.mac));
    clsDiscover d;
    std::shared_ptr<clsZarnPool> found;
    ASSERT_TRUE(d.DiscoverAllZarns(8, found, nullptr, {}, 1));
    EXPECT_GT(link.dropped, 0);
    ASSERT_NE(found, nullptr);
    ASSERT_EQ(found->Count(), 1u);
    EXPECT_EQ(found->colZarn[0]->MAC, MacText(stays.mac));
    EXPECT_FALSE(found->colZarn[0]->ProfileName.empty()) << "the device after the removed one got its names";
    EXPECT_TRUE(log.Has("DiscoverAllZarns: Failed to retrieve profile data for " + MacText(leaves.mac) +
                            ".  Removing from the list!",
                        kvr::LEVEL_ERROR));
    EXPECT_TRUE(log.Has("GetProfileData Error: cCommand.SendEx returned failure code!", kvr::LEVEL_ERROR));
}

TEST_F(Discovery, CancelDiscardsTheWholeResult) {
    Start("a", {SimDevice(1, "One")});
    Start("b", {SimDevice(2, "Two")});
    PoolAdapters({Nic("a"), Nic("b")});

    clsDiscover d;
    std::shared_ptr<clsZarnPool> found = std::make_shared<clsZarnPool>();
    std::shared_ptr<clsZarnPool> seen = found;
    CallbackPump pump([&] {
        if (seen->Count() > 0) d.bCancel = true;  // Cancel pressed once a device is listed
    });
    EXPECT_TRUE(d.DiscoverAllZarns(8, found, nullptr, {}, 2)) << "a request was sent";
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(Sim("a").Counters(SimMac(1)).discoveryRequests, 1u) << "the cancel ends the collection at once";
    EXPECT_EQ(Sim("b").Counters(SimMac(2)).discoveryRequests, 0u) << "the other adapters are not searched";
    EXPECT_EQ(devtest::UnicastReadRequests(Sim("a"), SimMac(1)).size(), 0u) << "no profile reads after a cancel";
}

TEST_F(Discovery, FindZarnMatchesTheMacIgnoringCase) {
    auto dev = SimDevice(0xABCDEF, "Wanted");
    dev.downloadMode = true;
    Start("a", {SimDevice(1, "Other"), dev});
    PoolAdapters({Nic("a")});
    OpenNdisRaw();
    std::int32_t h = -1;
    ASSERT_TRUE(OpenNdisDeviceByDesc(h, Nic("a")));
    NextLabel();
    clsDiscover d;
    std::string mac = "00:07:f5:ab:cd:ef";
    std::shared_ptr<clsSnapResponse> r;
    EXPECT_TRUE(d.FindZarn(h, mac, nullptr, 2, Nic("a"), 8, r));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->srcMAC, "0007F5ABCDEF");
    EXPECT_TRUE(r->downloadMode);

    std::string absent = "0007F5FFFFFF";
    EXPECT_FALSE(d.FindZarn(h, absent, nullptr, 1, Nic("a"), 8, r));
    CloseNdisRaw(h);
}

TEST_F(Discovery, ScanForZarnFollowsADeviceToAnotherAdapter) {
    auto dev = SimDevice(7, "Mover");
    Start("a", {dev, SimDevice(11, "Stays behind")});
    Start("b", {SimDevice(8, "Resident")});
    PoolAdapters({Nic("a"), Nic("b")});

    clsZarn z = OnSegmentA(dev.mac);
    // The device leaves segment a for segment b.
    Sim("a").RemoveDevice(dev.mac);
    std::string err;
    ASSERT_TRUE(Sim("b").AddDevice(dev, &err)) << err;

    kvr::MemoryProgressBar bar;
    ASSERT_TRUE(z.ScanForZarn(10000, &bar));
    EXPECT_EQ(z.NICName, Nic("b"));
    EXPECT_TRUE(log.Has("ScanForZarn: selected KVR '" + z.MAC + "' has been found on a different NIC: old NIC='" +
                            Nic("a") + ", new NIC='" + Nic("b") + "'",
                        kvr::LEVEL_WATCH));
    EXPECT_TRUE(log.Has("ScanForZarn: cDiscover.FindZarn (" + z.MAC + ") failed.  KVR not found using NIC '" +
                            Nic("a") + "'.",
                        kvr::LEVEL_ERROR));
    EXPECT_EQ(bar.Max(), 10);

    // Found again where it is: no move.
    log.lines.clear();
    ASSERT_TRUE(z.ScanForZarn(5000, nullptr));
    EXPECT_TRUE(log.Has("ScanForZarn: selected KVR '" + z.MAC + "' has been found", kvr::LEVEL_TRACE));
}

TEST_F(Discovery, WaitForBootWaitsForTheWantedMode) {
    auto app = SimDevice(1, "App");
    auto& sim = Start("a", {app});
    PoolAdapters({Nic("a")});
    clsZarn z = OnSegmentA(app.mac);

    EXPECT_TRUE(z.WaitForStartup(-1, 5000, nullptr)) << "already in application mode";

    // A device that stays in application mode: the download wait fails after its time-out.
    kvr::MemoryProgressBar bar;
    const auto before = sim.Counters(app.mac).discoveryRequests;
    const auto t0 = clock.NowMs();
    EXPECT_FALSE(z.WaitForDownloadMode(-1, 2000, &bar));
    EXPECT_GE(clock.NowMs() - t0, 2000) << "it never gives up early";
    EXPECT_GE(sim.Counters(app.mac).discoveryRequests - before, 2u) << "the device is polled again and again";
    EXPECT_EQ(bar.Max(), 2);
    EXPECT_EQ(bar.Value(), 2);

    // Once the device is in download mode, the wait succeeds.
    ASSERT_TRUE(sim.SetDownloadMode(app.mac, true));
    EXPECT_TRUE(z.WaitForDownloadMode(-1, 5000, nullptr));

    // An adapter that cannot be opened.
    z.NICName = "no such adapter";
    EXPECT_FALSE(z.WaitForStartup(-1, 1000, nullptr));
    EXPECT_TRUE(log.Has("WaitForBoot: failed to get NIC handle!", kvr::LEVEL_ERROR));
    EXPECT_TRUE(log.Has("GetNicHandle: OpenNdisDeviceByDesc failed to open NIC 'no such adapter'.  Aborting operation.",
                        kvr::LEVEL_WARNING));
}

// Another station answers every discovery, before the device does, with an
// empty refusing response in the device's name and with the download-mode bit.
TEST_F(Discovery, AForgedAnswerInTheDevicesNameEndsNoWait) {
    auto victim = SimDevice(1, "Victim");
    auto forger = SimDevice(2, "Forger");
    forger.faults.forgesFor = victim.mac;
    Start("a", {forger, victim});
    PoolAdapters({Nic("a")});
    clsZarn z = OnSegmentA(victim.mac);
    EXPECT_FALSE(z.WaitForDownloadMode(-1, 2000, nullptr)) << "the device itself is in its application";
    ASSERT_TRUE(z.WaitForStartup(-1, 5000, nullptr));
    EXPECT_FALSE(z.IsInDownloadMode);
    std::string name;
    ASSERT_NE(z.BootAnswer(), nullptr);
    EXPECT_TRUE(z.BootAnswer()->GetRIDFieldAsString(RID_DEVICE_NAME, name));
    EXPECT_EQ(name, "Victim");
}

TEST_F(Discovery, CancelWaitStopsAWaitAtItsNextPoll) {
    auto app = SimDevice(1, "App");
    Start("a", {app});
    PoolAdapters({Nic("a")});
    clsZarn z = OnSegmentA(app.mac, 0);
    int polls = 0;
    CallbackPump pump([&] {
        if (++polls == 3) z.CancelWait = true;
    });
    const auto t0 = clock.NowMs();
    EXPECT_FALSE(z.WaitForDownloadMode(-1, 60000, nullptr));
    EXPECT_LT(clock.NowMs() - t0, 30000) << "a cancelled wait does not run to its time-out";
}

TEST_F(Discovery, V16ProbeOverTheWire) {
    auto modern = SimDevice(1, "Modern");
    auto old = SimDevice(2, "Old");
    old.v16Download = false;
    Start("a", {modern, old});
    PoolAdapters({Nic("a")});

    clsZarn m = OnSegmentA(modern.mac);
    EXPECT_TRUE(m.IsTargetV16DownloadCompatible());

    clsZarn o = m;
    o.MAC = MacText(old.mac);
    EXPECT_FALSE(o.IsTargetV16DownloadCompatible());
    EXPECT_FALSE(log.Find("IsTargetV16DownloadCompatible: target indicates no support for RID_START_QFW_DOWNLOAD, "
                          "error code=0x",
                          kvr::LEVEL_WARNING)
                     .empty());
}
