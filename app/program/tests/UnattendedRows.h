#pragma once
// The unattended outcome table and what every row checks after its run: the
// exit status, the reason on standard error, history.log, the JSON record and
// the firmware the simulated devices now run. Shared by the run inside the
// test process and the run of the real program.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "SimSegments.h"
#include "sim/DeviceOptions.h"
#include "sim/QfwMaker.h"
#include "sim/Simulator.h"

namespace kvr::test::unattended {

namespace fs = std::filesystem;

struct Row {
    const char* name;
    std::vector<std::string> devices;  // kvrsim device specs
    std::vector<std::string> qfw;      // --make-qfw fields; "corrupt" spoils a section
    std::vector<std::string> args;     // besides --download FILE --unattended --json FILE
    int status;
    std::vector<std::string> results;  // JSON "result" of the record of each device, in device order
    std::vector<std::string> history;  // texts in history.log (its ERROR lines and records)
    bool json = true;                  // run.json holds the record (false: the run wrote elsewhere)
    std::string jsonHas = {};          // text the record holds
};

inline void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

inline std::vector<std::string> Lines(const fs::path& file) {
    std::ifstream in(file);
    std::vector<std::string> out;
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

inline std::string Text(const fs::path& file) {
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Writes the row's firmware file to `file`.
inline void MakeFile(std::vector<std::string> fields, const fs::path& file) {
    const bool corrupt = !fields.empty() && fields.back() == "corrupt";
    if (corrupt) fields.pop_back();
    sim::QfwSpec spec;
    std::string err;
    ASSERT_TRUE(sim::ParseQfwFields(fields, spec, &err)) << err;
    if (!spec.image1) spec.image1 = sim::QfwFiller(64 * 1024, 7);
    auto bytes = sim::MakeQfw(spec);
    if (corrupt) bytes.back() ^= 0xFF;  // the last section's checksum no longer fits
    ASSERT_TRUE(sim::WriteQfwFile(file.string(), bytes, &err)) << err;
}

// A simulator with the devices of these kvrsim specs, on the segment `tag` of
// `segments`; null when a spec or the segment is refused (a failure is added).
inline sim::Simulator* StartDevices(SimSegments& segments, const std::string& tag,
                                    const std::vector<std::string>& specs) {
    std::vector<sim::DeviceConfig> devices;
    std::string err;
    for (const auto& spec : specs) {
        sim::DeviceConfig d;
        EXPECT_TRUE(sim::ParseDeviceOptions(spec, d, &err)) << err;
        devices.push_back(d);
    }
    sim::Simulator* simulator = segments.Start(tag, devices, &err);
    EXPECT_NE(simulator, nullptr) << err;
    return simulator;
}

// The command line of a row, its firmware file and JSON record in `root`.
inline std::vector<std::string> Arguments(const Row& row, const fs::path& root) {
    std::vector<std::string> args{"--download", (root / "fw.qfw").string(), "--unattended", "--json",
                                  (root / "run.json").string()};
    args.insert(args.end(), row.args.begin(), row.args.end());
    return args;
}

// Everything a finished run left: its exit status and standard error, history.log
// in `appDir`, the record run.json in `root`, and the devices of `sim`.
inline void CheckRun(const Row& row, int status, const std::string& err, const fs::path& appDir,
                     const fs::path& root, sim::Simulator& sim) {
    EXPECT_EQ(status, row.status) << err;
    // Standard error: the reason of a failure, and no toolkit noise.
    EXPECT_EQ(err.find("This plugin does not support"), std::string::npos) << err;
    if (row.status != 0) {
        EXPECT_NE(err.find("(exit status " + std::to_string(row.status) + ")"), std::string::npos) << err;
    }

    const auto history = Lines(appDir / "history.log");
    ASSERT_GE(history.size(), 6u);
    const std::string rule(67, '*');
    EXPECT_EQ(history.front(), rule);
    EXPECT_EQ(history[1].rfind("   Started KVRinstaller ver ", 0), 0u);
    EXPECT_EQ(history.back(), rule);  // the closing line
    const std::string all = Text(appDir / "history.log");
    for (const auto& e : row.history) EXPECT_NE(all.find(e), std::string::npos) << e << "\n" << all;
    EXPECT_NE(all.find("Automated operations ended with exit status " + std::to_string(row.status)), std::string::npos)
        << all;

    if (!row.json) {
        EXPECT_NE(err.find("could not record the run: cannot write the JSON record"), std::string::npos) << err;
        return;
    }
    const auto json = Lines(root / "run.json");
    ASSERT_EQ(json.size(), row.results.size() + 1) << Text(root / "run.json");
    const auto macs = sim.Devices();  // in the order of row.devices; records come in discovery order
    for (std::size_t i = 0; i < row.results.size(); ++i) {
        std::string mac = sim::MacText(macs[i]);  // 0007F5000101 -> 00:07:F5:00:01:01
        for (std::size_t k = 10; k >= 2; k -= 2) mac.insert(k, ":");
        const auto line = std::find_if(json.begin(), json.end() - 1, [&](const std::string& l) {
            return l.find("\"mac\":\"" + mac + "\"") != std::string::npos;
        });
        ASSERT_NE(line, json.end() - 1) << mac;
        EXPECT_NE(line->find("\"result\":\"" + row.results[i] + "\""), std::string::npos) << *line;
    }
    EXPECT_NE(json.back().find("\"summary\":true"), std::string::npos);
    EXPECT_NE(Text(root / "run.json").find(row.jsonHas), std::string::npos) << Text(root / "run.json");

    // What the devices now run: the file's version exactly where the record says "ok",
    // and no firmware byte sent when the run refused before the download.
    for (std::size_t i = 0; i < macs.size(); ++i) {
        const std::string result = i < row.results.size() ? row.results[i] : "";
        if (row.status == 0 || row.results.size() == macs.size()) {
            EXPECT_EQ(sim.State(macs[i]).firmwareVersion == 0x0204, result == "ok" || result == "current")
                << sim::MacText(macs[i]);
        }
        if ((row.status >= 3 && row.status <= 6) || row.status == 10 || result == "current" ||
            result == "would-upgrade") {
            EXPECT_EQ(sim.Counters(macs[i]).chunksReceived, 0u);
        }
    }
    EXPECT_NE(json.back().find("\"status\":" + std::to_string(row.status) + ","), std::string::npos) << json.back();
}

inline const char* kDev1 = "mac=00:07:F5:00:01:01 name=One restart=300";
inline const char* kDev2 = "mac=00:07:F5:00:01:02 name=Two restart=300";
inline const char* kDev3 = "mac=00:07:F5:00:01:03 name=Three restart=300";

inline const std::vector<Row>& Outcomes() {
    static const std::vector<Row> rows{
        Row{"SuccessProtocol16", {kDev1}, {}, {}, 0, {"ok"}, {}},
        Row{"SuccessProtocol1", {std::string(kDev1) + " v16=0"}, {}, {}, 0, {"ok"}, {}},
        Row{"NoDevice", {}, {}, {}, 4, {}, {"There are no Zarn Adapters that are compatible"}},
        Row{"TwoMatching", {kDev1, kDev2}, {}, {}, 5, {}, {"There are 2 Zarn Adapters", "Cannot proceed."}},
        Row{"Incompatible", {std::string(kDev1) + " hwid=2"}, {}, {"--match-mac", "00:07:F5:00:01:01"}, 6,
            {"incompatible"}, {"is not compatible with the firmware file (QFW=1.1, Zarn=2.1)"}},
        Row{"CorruptFile", {kDev1}, {"corrupt"}, {}, 3, {"file-invalid"},
            {"The QFW file does not contain a valid firmware image!"}},
        Row{"RefusesDownloadMode", {std::string(kDev1) + " no-download-mode=1"}, {}, {}, 7, {"download-failed"},
            {"the firmware upload failed"}},
        Row{"FailsMidway", {std::string(kDev1) + " fail-chunk=3:refuse:always"}, {}, {}, 7, {"download-failed"},
            {"the firmware upload failed"}},
        Row{"ComesBackOld", {std::string(kDev1) + " old-identity=1"}, {}, {}, 8, {"not-back"},
            {"came back running version 256.515, not the file's version 256.516."}},
        Row{"NotBackInTime", {std::string(kDev1) + " restart-download=1"}, {}, {}, 8, {"not-back"},
            {"did not come back in time after the download; the firmware version it runs is unknown."}},
        Row{"RetryRecovers", {std::string(kDev1) + " fail-chunk=3:refuse:once"}, {}, {"--retries", "2"}, 0, {"ok"},
            {"attempt 2 of 3", "upgraded at attempt 2."}},
        Row{"LostChunkAnswer", {std::string(kDev1) + " fail-chunk=3:ignore:always"}, {}, {}, 7, {"download-failed"},
            {"upload failed for '00:07:F5:00:01:01' (SendImage_V16: command.SendDownloadFrame failed!)"}},
        Row{"VanishedEveryRetryWaits", {std::string(kDev1) + " vanish-after=3"}, {}, {"--retries", "2"}, 7,
            {"download-failed"}, {"attempt 3 of 3", "'00:07:F5:00:01:01' did not answer again before attempt 3"}},
        Row{"CorruptFileForOtherHardware", {kDev1}, {"hwid=2", "corrupt"}, {}, 3, {"file-invalid"},
            {"The QFW file does not contain a valid firmware image!"}},
        Row{"ForceCneRefused", {kDev1}, {}, {"--force-cne"}, 10, {"refused"}, {"Cannot upgrade a CNE in unattended"}},
        Row{"MacGivenTwiceOnce", {kDev1}, {}, {"--match-mac", "00:07:F5:00:01:01,0007f5000101"}, 0, {"ok"}, {}},
        Row{"JsonOnFullDisk", {kDev1}, {}, {"--json", "/dev/full"}, 11, {},
            {"could not record the run: cannot write the JSON record '/dev/full': No space left on device"}, false},
        Row{"AllOverThreeOneFailing", {kDev1, std::string(kDev2) + " fail-chunk=2:refuse:always", kDev3}, {},
            {"--match-mac", "all"}, 7, {"ok", "download-failed", "ok"}, {"the firmware upload failed"}},
        Row{"OneAfterTheOther", {kDev1, std::string(kDev2) + " fail-chunk=2:refuse:once", kDev3}, {},
            {"--match-mac", "all", "--parallel", "1", "--retries", "1"}, 0, {"ok", "ok", "ok"}, {"upgraded at attempt 2."}},
        Row{"CheckJudgesEachSendingNothing", {kDev1, std::string(kDev2) + " hwid=2"}, {},
            {"--check", "--match-mac", "00:07:F5:00:01:01,00:07:F5:00:01:02"}, 6, {"would-upgrade", "incompatible"},
            {"'00:07:F5:00:01:01' would be upgraded from version 256.515 to 256.516."}},
        Row{"SkipCurrent", {kDev1, std::string(kDev2) + " fwver=0x204"}, {}, {"--skip-current", "--match-mac", "all"}, 0,
            {"ok", "current"}, {"'00:07:F5:00:01:02' already runs version 256.516; no download."}},
        Row{"Latin1Name", {"mac=00:07:F5:00:01:01 name=Caf\xE9 restart=300"}, {}, {}, 0, {"ok"}, {}, true,
            "\"name\":\"Caf\xC3\xA9\""}};
    return rows;
}

inline const Row& Outcome(const std::string& name) {
    const auto& rows = Outcomes();
    return *std::find_if(rows.begin(), rows.end(), [&](const Row& r) { return name == r.name; });
}

inline std::string RowName(const ::testing::TestParamInfo<Row>& p) { return p.param.name; }

}  // namespace kvr::test::unattended
