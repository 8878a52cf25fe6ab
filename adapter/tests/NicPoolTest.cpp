// The NIC pool, the pool refresh at start-up and the local wireless settings,
// against a scripted adapter library.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "basUtils.h"
#include "AdapterTestSupport.h"
#include "RefreshNicPool.h"
#include "clsNICpool.h"
#include "RecordingPrompter.h"
#include "TempAppDir.h"
#include "clsWLAN.h"

using namespace kvr::test;

namespace {

FakeAdapter Adapter(const std::string& desc, std::uint8_t last, bool wireless = false, bool ip = true) {
    FakeAdapter a;
    a.desc = desc;
    a.name = "if" + std::to_string(last);
    a.mac[5] = last;
    a.wireless = wireless ? 1 : 0;
    a.hasIp = ip ? 1 : 0;
    return a;
}

class NicPool_ : public ::testing::Test {
protected:
    void SetUp() override {
        UseFakeSupp();
        kvr::SetClock(&clock);
        kvr::SetPrompter(&prompter);
        kvr::SetCloseSplashHook([this] { ++splashClosed; });
        appDir = app.Path();
    }
    void TearDown() override {
        kvr::SetCloseSplashHook(nullptr);
        kvr::SetPrompter(nullptr);
        kvr::SetClock(nullptr);
        UseRealLibraries();
    }
    kvr::FakeClock clock;
    RecordingPrompter prompter{kvr::PromptAnswer::Yes};
    LogRecorder log;
    int splashClosed = 0;
    kvr::test::TempAppDir app;
    std::string appDir;
};

TEST_F(NicPool_, KeepsOnlyAdaptersThatOpenRawInLibraryOrder) {
    auto wired = Adapter("Wired One", 1);
    auto noIp = Adapter("Wired NoIP", 2, false, false);
    auto wlanBad = Adapter("Wlan Locked", 3, true);
    wlanBad.openFails = true;
    wlanBad.ssid = "cafe";
    auto unknownLink = Adapter("Wired Unknown", 4);
    unknownLink.connectFails = true;
    unknownLink.ipFails = true;
    Fake().adapters = {wired, noIp, wlanBad, unknownLink};

    clsNICpool pool;
    EXPECT_EQ(pool.BuildNicPool(), 3);
    ASSERT_EQ(pool.GetNicCount(), 3);
    EXPECT_EQ(pool.colNIC[0]->Name, "Wired One");
    EXPECT_EQ(pool.colNIC[0]->Caption, "if1");
    EXPECT_EQ(pool.colNIC[0]->MAC, "020000000001");
    EXPECT_EQ(pool.colNIC[0]->AdapterTypeID, 0);
    EXPECT_EQ(pool.colNIC[0]->ConnectStatus, 1);
    EXPECT_EQ(pool.colNIC[1]->Name, "Wired NoIP");
    EXPECT_EQ(pool.colNIC[2]->Name, "Wired Unknown");
    EXPECT_EQ(pool.colNIC[2]->ConnectStatus, -1);
    EXPECT_FALSE(pool.colNIC[2]->HasIP);

    // The wired adapter without IP counts, but not as one with IP.
    EXPECT_EQ(pool.GetWiredNicCountWithIP(), 1);

    // The locked wireless adapter is dropped but still marks the wireless members.
    EXPECT_TRUE(log.Has("BuildNicPool: VerifyNicSupport failed (caption = 'if3', name = 'Wlan Locked').",
                        kvr::LEVEL_WARNING, "clsNICpool"))
        << log.Dump();
    EXPECT_TRUE(log.Has("CloseNdisRaw: function called with an invalid handle!", kvr::LEVEL_ERROR, "modZarniSupp"));
    EXPECT_TRUE(pool.bWNicPresent);
    EXPECT_EQ(pool.sWNicName, "Wlan Locked");
    EXPECT_TRUE(pool.bIpOnWNic);
    EXPECT_EQ(pool.GetWNic(), nullptr);

    EXPECT_TRUE(log.Has("BuildNicPool: ZARNISUPP_HasAdapterIP failed for NicNum ", kvr::LEVEL_TRACE));
    EXPECT_TRUE(log.Has("BuildNicPool: NIC #2 found: \"Wired Unknown\"", kvr::LEVEL_WATCH));
    EXPECT_TRUE(log.Has("   Caption=\"if4\"", kvr::LEVEL_WATCH));
    EXPECT_TRUE(log.Has("   MAC=020000000004", kvr::LEVEL_WATCH));
    EXPECT_TRUE(log.Has("   Connected=-1, AdapterTypeID=0, IP enabled=False, Wireless=False, SSID=\"\"",
                        kvr::LEVEL_WATCH));
    EXPECT_TRUE(log.Has("BuildNicPool: Adding NIC #2 (\"Wired Unknown\") to adapter list.", kvr::LEVEL_WATCH));

    // Every adapter that was opened to check it is closed again.
    for (const auto& a : Fake().adapters) EXPECT_FALSE(a.open) << a.desc;

    // A rebuild replaces the content; wireless members survive a build without wireless.
    Fake().adapters = {wired};
    EXPECT_EQ(pool.BuildNicPool(), 1);
    EXPECT_EQ(pool.GetNicCount(), 1);
    EXPECT_TRUE(pool.bWNicPresent);
    EXPECT_EQ(pool.sWNicName, "Wlan Locked");
}

TEST_F(NicPool_, LastWirelessAdapterWinsAndItsSsidIsRead) {
    auto w1 = Adapter("Wlan A", 1, true, false);
    w1.ssid = "first";
    auto w2 = Adapter("Wlan B", 2, true, true);
    w2.ssid = "second";
    Fake().adapters = {w1, w2};
    clsNICpool pool;
    EXPECT_EQ(pool.BuildNicPool(), 2);
    EXPECT_EQ(pool.sWNicName, "Wlan B");
    ASSERT_NE(pool.GetWNic(), nullptr);
    EXPECT_EQ(pool.GetWNic()->Name, "Wlan B");
    EXPECT_EQ(pool.GetWNic()->SSID, "second");
    EXPECT_TRUE(pool.bIpOnWNic);
    EXPECT_EQ(pool.GetWiredNicCountWithIP(), 0);
    EXPECT_TRUE(log.Has("   Connected=1, AdapterTypeID=0, IP enabled=True, Wireless=True, SSID=\"second\"",
                        kvr::LEVEL_WATCH));
}

TEST_F(NicPool_, WithoutAdaptersTheBuildLogsTheCountAndTheRefreshTellsTheUser) {
    clsNICpool pool;
    EXPECT_EQ(pool.BuildNicPool(), 0);
    EXPECT_TRUE(pool.colNIC.empty());
    EXPECT_TRUE(log.Has("BuildNicPool: the number of network adapters is reported to be 0", kvr::LEVEL_ERROR));

    log.lines.clear();
    EXPECT_EQ(RefreshNicPool(), 0);
    ASSERT_EQ(prompter.questions.size(), 1u);
    EXPECT_EQ(prompter.questions[0].text, LoadResStringWrapper(1101));
    EXPECT_EQ(prompter.questions[0].title, LoadResStringWrapper(1000));
    EXPECT_FALSE(prompter.questions[0].text.empty());
    EXPECT_EQ(splashClosed, 1);
    EXPECT_TRUE(log.Has("Missing '" + appDir + "/PCARmDrv.exe', which is required to removed an improperly installed "
                        "driver service.",
                        kvr::LEVEL_ERROR, "modZarni"))
        << log.Dump();

    // With the repair program in place it is started (it leaves a mark) and the
    // caller's message is logged.
    const std::string mark = appDir + "/repaired";
    {
        std::ofstream f(appDir + "/PCARmDrv.exe");
        f << "#!/bin/sh\ntouch '" << mark << "'\n";
    }
    std::filesystem::permissions(appDir + "/PCARmDrv.exe", std::filesystem::perms::owner_all);
    log.lines.clear();
    EXPECT_EQ(RefreshNicPool(), 0);
    EXPECT_TRUE(log.Has("RefreshNicPool: No NICs found: Performing corrective action of Deleting Service...",
                        kvr::LEVEL_USER, "modZarni"));
    bool seen = false;
    for (int i = 0; i < 200 && !seen; ++i) {
        seen = std::filesystem::exists(mark);
        if (!seen) ::usleep(10000);
    }
    EXPECT_TRUE(seen);
}

TEST_F(NicPool_, RefreshAsksOnlyWhenTheOneAdapterIsWirelessWithoutSession) {
    Fake().adapters = {Adapter("Wlan Only", 1, true, false)};
    prompter.answer = kvr::PromptAnswer::No;
    EXPECT_EQ(RefreshNicPool(), 1);
    EXPECT_TRUE(log.Has("RefreshNicPool: " + LoadResStringWrapper(1102), kvr::LEVEL_WARNING, "modZarni"));
    EXPECT_TRUE(log.Has(LoadResStringWrapper(1103), kvr::LEVEL_WARNING, "modZarni"));
    ASSERT_EQ(prompter.questions.size(), 1u);
    EXPECT_EQ(prompter.questions[0].buttons, kvr::PromptButtons::YesNo);
    EXPECT_EQ(prompter.questions[0].text, LoadResStringWrapper(1103));
    EXPECT_EQ(splashClosed, 1);

    // Two adapters: warned, not asked. Wired adapters only, none with IP: 1104.
    prompter.questions.clear();
    Fake().adapters = {Adapter("Wlan Only", 1, true, true), Adapter("Wired", 2)};
    EXPECT_EQ(RefreshNicPool(), 2);
    EXPECT_TRUE(prompter.questions.empty());

    log.lines.clear();
    NicPool() = clsNICpool{};
    Fake().adapters = {Adapter("Wired", 2, false, false)};
    EXPECT_EQ(RefreshNicPool(), 1);
    EXPECT_TRUE(log.Has("RefreshNicPool: " + LoadResStringWrapper(1104), kvr::LEVEL_WARNING, "modZarni")) << log.Dump();
    EXPECT_TRUE(prompter.questions.empty());
}

TEST(LocalWirelessSettings, ReadAndWriteReportFailureButTextsAndCloneWork) {
    clsWLAN w;
    EXPECT_EQ(w.GetWEPModeTxt(), "WEP Disabled");
    EXPECT_EQ(w.GetConnectionModeTxt(), "Infrastructure Mode");
    w.Encryption = 0;
    w.Infrastructure = 0;
    EXPECT_EQ(w.GetWEPModeTxt(), "WEP Enabled");
    EXPECT_EQ(w.GetConnectionModeTxt(), "Ad-hoc Mode");

    w.SSID = "net";
    w.WEP = "12345";
    w.wepIndex = 2;
    clsWLAN copy;
    w.Clone(copy);
    EXPECT_EQ(copy.SSID, "net");
    EXPECT_EQ(copy.WEP, "12345");
    EXPECT_EQ(copy.wepIndex, 2);
    EXPECT_EQ(copy.Encryption, 0);
    EXPECT_EQ(copy.Infrastructure, 0);

    EXPECT_FALSE(w.SetWLANSettings(0));
    EXPECT_FALSE(w.GetWNICSettings(0));
    EXPECT_TRUE(w.SSID.empty());
    EXPECT_TRUE(w.WEP.empty());
    EXPECT_EQ(w.Encryption, -1);
    EXPECT_EQ(w.Infrastructure, -1);
    EXPECT_EQ(w.GetWEPModeTxt(), "WEP Disabled");
    EXPECT_EQ(w.GetConnectionModeTxt(), "Infrastructure Mode");

    // An SSID the adapter cannot hold is refused, not written past its buffer.
    LogRecorder log;
    copy.SSID = std::string(40, 'x');
    EXPECT_FALSE(copy.SetWLANSettings(0));
    EXPECT_EQ(log.CountPrefix("SetWLANSettings: the SSID"), 1u) << log.Dump();
}

// The libraries as the program finds them on disk.
class LibraryLoading : public ::testing::Test {
protected:
    void SetUp() override {
        dir = tmp.Path();
        kvr::SetExportResolver(nullptr);
    }
    void TearDown() override {
        kvr::SetLibraryDirectory(KVR_BUNDLE_DIR);
    }
    TempDir tmp{"kvr-adapter-libs"};
    std::string dir;
    LogRecorder log;
};

TEST_F(LibraryLoading, MissingOrIncompleteLibrariesFailCheckDllWithNumberAndDescription) {
    kvr::SetLibraryDirectory(dir);
    EXPECT_FALSE(CheckDll());
    ASSERT_EQ(log.lines.size(), 1u) << log.Dump();
    EXPECT_EQ(log.lines[0].level, kvr::LEVEL_ERROR);
    EXPECT_EQ(log.lines[0].module, "modZarni");
    EXPECT_EQ(log.lines[0].message.rfind("Error #53: File not found: " + dir + "/libzarni_utils.so", 0), 0u)
        << log.lines[0].message;
    EXPECT_NE(log.lines[0].message.find(" in CheckDll"), std::string::npos);

    // Callers of a missing library get the failure value, never a crash.
    std::int32_t count = 77;
    EXPECT_EQ(kvr::zs::ScanForEthernetAdapters(&count, 0), 0);
    EXPECT_EQ(count, 77);
    EXPECT_EQ(kvr::zu::LeMakeWord(1, 2), 0);

    // A file that is not a library.
    { std::ofstream(dir + "/libzarni_utils.so") << "not a library"; }
    log.lines.clear();
    EXPECT_FALSE(CheckDll());
    EXPECT_EQ(log.CountPrefix("Error #53: File not found: " + dir + "/libzarni_utils.so"), 1u) << log.Dump();

    // A real library lacking the export: the utility library under the adapter library's name.
    const std::string utils = std::string(KVR_BUNDLE_DIR) + "/libzarni_utils.so";
    if (!std::filesystem::exists(utils)) GTEST_SKIP() << "libzarni_utils.so not built";
    std::filesystem::copy_file(utils, dir + "/libzarni_utils.so", std::filesystem::copy_options::overwrite_existing);
    std::filesystem::copy_file(utils, dir + "/libzarnisupp.so");
    kvr::SetLibraryDirectory(dir);
    log.lines.clear();
    EXPECT_FALSE(CheckDll());
    EXPECT_EQ(log.CountPrefix("Error #453: Can't find DLL entry point ZARNISUPP_GetVersion in " + dir +
                              "/libzarnisupp.so in CheckDll"),
              1)
        << log.Dump();
    EXPECT_EQ(kvr::zs::GetVersion(), 0);
    EXPECT_EQ(kvr::zu::LeMakeWord(0x12, 0x34), 0x1234);
}

TEST_F(LibraryLoading, BothShippedLibrariesPassCheckDll) {
    const std::string bundle = KVR_BUNDLE_DIR;
    if (!std::filesystem::exists(bundle + "/libzarnisupp.so") || !std::filesystem::exists(bundle + "/libzarni_utils.so"))
        GTEST_SKIP() << "shipped libraries not built";
    kvr::SetLibraryDirectory(bundle);
    EXPECT_TRUE(CheckDll()) << log.Dump();
    EXPECT_EQ(kvr::zs::GetVersion(), 0x00010032);
    EXPECT_TRUE(log.lines.empty()) << log.Dump();
}

// Download lanes look exports up from threads of their own, the first
// lookup of an export included.
TEST_F(LibraryLoading, ExportsResolveFromSeveralThreadsAtOnce) {
    const std::string bundle = KVR_BUNDLE_DIR;
    if (!std::filesystem::exists(bundle + "/libzarni_utils.so")) GTEST_SKIP() << "libzarni_utils.so not built";
    kvr::SetLibraryDirectory(bundle);  // nothing loaded or resolved yet
    const auto allRight = [] {
        return kvr::zu::LeMakeWord(0x12, 0x34) == 0x1234 && kvr::zu::LeHiByte(0x1234) == 0x34 &&
               kvr::zu::LeLoWord(0x12345678) == 0x1234 && kvr::zu::LeMakeLong(0x12, 0x34, 0x56, 0x78) == 0x12345678;
    };
    std::atomic<int> wrong{0};
    std::vector<std::thread> lanes;
    for (int t = 0; t < 8; ++t)
        lanes.emplace_back([&] {
            for (int i = 0; i < 200; ++i)
                if (!allRight()) ++wrong;
        });
    for (auto& lane : lanes) lane.join();
    EXPECT_EQ(wrong, 0);
}

}  // namespace
