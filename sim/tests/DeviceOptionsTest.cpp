// Device descriptions and config files of the kvrsim program.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "sim/DeviceModel.h"
#include "sim/DeviceOptions.h"

using namespace kvr::sim;

TEST(DeviceOptions, KeysFillTheDevice) {
    DeviceConfig d;
    std::string err;
    ASSERT_TRUE(ParseDeviceOptions("mac=00:07:f5:01:02:03, name=\"Living room\" ip=10.0.0.7 rssi=-1 profiles=4 "
                                "active=3 security=wpa download=1 restart=500 fwid=0x1F numprofiles=12 "
                                "answer-on=3 drop-out=0.25 seed=9 rc=0x20 version=0 erase=1500 vanish-after=4",
                                d, &err))
        << err;
    EXPECT_EQ(MacText(d.mac), "0007F5010203");
    EXPECT_EQ(d.name, "Living room");
    EXPECT_EQ(d.ip, (Ipv4{10, 0, 0, 7}));
    EXPECT_EQ(d.rssi, -1);
    ASSERT_EQ(d.profiles.size(), 4u);
    EXPECT_EQ(d.profiles[0].name, "Factory default");
    EXPECT_EQ(d.activeProfile, 3);
    EXPECT_TRUE(d.wpaCapable);
    EXPECT_TRUE(d.hasSecurityWord);
    EXPECT_TRUE(d.downloadMode);
    EXPECT_EQ(d.restartMs, 500u);
    EXPECT_EQ(d.firmwareId, 31u);
    EXPECT_EQ(d.reportedNumProfiles, 12);
    EXPECT_EQ(d.faults.answerOnAttempt, 3u);
    EXPECT_DOUBLE_EQ(d.faults.dropOutFraction, 0.25);
    EXPECT_EQ(d.faults.seed, 9u);
    EXPECT_EQ(d.faults.responseCode, 0x20);
    EXPECT_EQ(d.replyVersion, 0);
    EXPECT_EQ(d.eraseMs, 1500u);
    EXPECT_EQ(d.faults.vanishAfterChunks, 4u);

    // Numbers are decimal even with a leading zero; hexadecimal only after 0x.
    DeviceConfig z;
    ASSERT_TRUE(ParseDeviceOptions("restart=0500 fwver=09 hwid=0X1f rssi=-010", z, &err)) << err;
    EXPECT_EQ(z.restartMs, 500u);
    EXPECT_EQ(z.firmwareVersion, 9u);
    EXPECT_EQ(z.hardwareId, 31u);
    EXPECT_EQ(z.rssi, -10);

    DeviceConfig p;
    ASSERT_TRUE(ParseDeviceOptions("profile=Factory/KVR profile=Home/HomeNet profile=Car", p, &err)) << err;
    ASSERT_EQ(p.profiles.size(), 3u);
    EXPECT_EQ(p.profiles[1].ssid, "HomeNet");
    EXPECT_EQ(p.profiles[2].ssid, "Car");

    DeviceConfig q;
    ASSERT_TRUE(ParseDeviceOptions("profile=F profile=Home p-security=wpa p-passphrase=secret99 p-cipher=tkip "
                                   "p-static=10.0.0.9/255.0.0.0/10.0.0.1/10.0.0.2 p-proxy=proxy.lan:3128 "
                                   "refuse-write=0xFC02 refuse-write=0x0012:4 active-restart=800",
                                   q, &err))
        << err;
    const Profile& home = q.profiles.at(1);
    EXPECT_EQ(home.security, 2);
    EXPECT_EQ(home.wpaPassphrase, "secret99");
    EXPECT_EQ(home.wpaCipher, 1);
    EXPECT_FALSE(home.dhcp);
    EXPECT_EQ(home.staticGateway, (Ipv4{10, 0, 0, 1}));
    EXPECT_EQ(home.staticDns2, (Ipv4{0, 0, 0, 0}));
    EXPECT_EQ(home.proxyServer, "proxy.lan");
    EXPECT_EQ(home.proxyPort, 3128);
    ASSERT_EQ(q.faults.refuseWrite.size(), 2u);
    EXPECT_EQ(q.faults.refuseWrite[0].code, kRefuseNotNow);
    EXPECT_EQ(q.faults.refuseWrite[1].rid, 0x0012);
    EXPECT_EQ(q.faults.refuseWrite[1].code, 4);
    EXPECT_EQ(q.activeChangeRestartMs, 800u);
    DeviceConfig none;
    EXPECT_FALSE(ParseDeviceOptions("p-security=wep", none, &err)) << "settings of a profile need a profile";
}

TEST(DeviceOptions, BadSpecsAreRefusedWithTheReason) {
    struct Row {
        const char* spec;
        const char* mentions;
    };
    for (const Row& r : {Row{"bogus=1", "bogus"}, Row{"mac=00:07", "mac"}, Row{"ip=1.2.3.256", "ip"},
                         Row{"rssi=99999", "rssi"}, Row{"drop-in=1.5", "drop-in"}, Row{"name=\"open", "quote"},
                         Row{"download=maybe", "download"}, Row{"active", "key=value"},
                         Row{"profiles=2 active=5", "active profile"},
                         Row{"name=123456789012345678901234567890123", "32"}, Row{"version=4", "version"},
                         Row{"mac=01:07:F5:00:01:00", "group"}, Row{"fail-start=refuse:always:6", "fail-start"},
                         Row{"fail-end=ignore:6", "fail-end"}, Row{"fail-chunk=0:refuse", "fail-chunk"},
                         Row{"fail-chunk=refuse", "fail-chunk"}, Row{"fail-start-image=drop", "fail-start-image"}}) {
        DeviceConfig d;
        std::string err;
        EXPECT_FALSE(ParseDeviceOptions(r.spec, d, &err)) << r.spec;
        EXPECT_NE(err.find(r.mentions), std::string::npos) << r.spec << " -> " << err;
    }
}

TEST(DeviceOptions, ConfigFileAndDemoSet) {
    SimConfig cfg;
    std::string err;
    ASSERT_TRUE(ParseConfigText("# two devices\n"
                                "segment lab-1\n"
                                "log on\n"
                                "device name=\"A # not a comment\" profiles=3   # a comment\n"
                                "\n"
                                "device mac=00:07:F5:AA:00:02 no-ack=1\n",
                                cfg, &err))
        << err;
    EXPECT_EQ(cfg.segment, "lab-1");
    EXPECT_TRUE(cfg.log);
    ASSERT_EQ(cfg.devices.size(), 2u);
    EXPECT_EQ(cfg.devices[0].name, "A # not a comment");
    EXPECT_NE(cfg.devices[0].mac, cfg.devices[1].mac);
    EXPECT_TRUE(cfg.devices[1].faults.noAck);

    SimConfig bad;
    EXPECT_FALSE(ParseConfigText("segment x\nfrobnicate\n", bad, &err));
    EXPECT_EQ(err.rfind("line 2:", 0), 0u) << err;
    EXPECT_FALSE(ParseConfigText("device mac=nope\n", bad, &err));
    EXPECT_EQ(err.rfind("line 1:", 0), 0u) << err;

    auto demo = DemoDevices();
    ASSERT_EQ(demo.size(), 3u);
    EXPECT_TRUE(demo[0].downloadMode);
    EXPECT_TRUE(demo[1].wpaCapable);
    EXPECT_EQ(demo[2].name.size(), 32u);
    for (const auto& d : demo) EXPECT_EQ(DeviceModel::Validate(d), "") << d.name;
}

TEST(DeviceOptions, ShippedExampleConfigStaysValid) {
    std::ifstream f(std::string(KVR_SOURCE_DIR) + "/sim/devices.example.conf");
    ASSERT_TRUE(f);
    std::stringstream text;
    text << f.rdbuf();
    SimConfig cfg;
    std::string err;
    ASSERT_TRUE(ParseConfigText(text.str(), cfg, &err)) << err;
    EXPECT_EQ(cfg.segment, "lab");
    ASSERT_EQ(cfg.devices.size(), 4u);
    EXPECT_EQ(cfg.devices[0].profiles.size(), 3u);
    EXPECT_FALSE(cfg.devices[1].v16Download);
    EXPECT_TRUE(cfg.devices[2].downloadMode);
    EXPECT_EQ(cfg.devices[3].faults.answerOnAttempt, 2u);
}
