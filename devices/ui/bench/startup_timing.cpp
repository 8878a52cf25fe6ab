// Prints how long the main window takes to list three simulated devices, and
// how much of that is the protocol's fixed waits (the adapter scan's pause
// and one-second listening windows of discovery on every adapter).
//
//   QT_QPA_PLATFORM=offscreen build/devices/ui/bench/kvr_startup_timing
#include <QApplication>
#include <QTemporaryDir>
#include <QTreeWidget>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "Globals.h"
#include "QtSeams.h"
#include "RefreshNicPool.h"
#include "ZarniLibs.h"
#include "clsDiscover.h"
#include "clsNICpool.h"
#include "clsZarnPool.h"
#include "frmMsg.h"
#include "frmZarni.h"
#include "sim/Simulator.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

static double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QTemporaryDir appDir, segmentDir;
    if (!appDir.isValid() || !segmentDir.isValid()) return 1;
    ::setenv("KVR_SEGMENT_DIR", segmentDir.path().toLocal8Bit().constData(), 1);
    const fs::path dir = appDir.path().toStdString();
    for (const char* lib : {kvr::kZarniSuppFile, kvr::kZarniUtilsFile})
        fs::create_symlink(fs::path(KVR_BUNDLE_DIR) / lib, dir / lib);
    G().AppDirectory = dir.string();
    kvr::SetLibraryDirectory(dir.string());
    kvr::InstallQtSeams(true);
    kvr::frmMsg::SetNeverBlock(true);

    kvr::sim::Simulator sim;
    const char* macs[] = {"00:07:F5:0B:00:01", "00:07:F5:0B:00:02", "00:07:F5:0B:00:03"};
    for (int i = 0; i < 3; ++i) {
        kvr::sim::DeviceConfig d;
        d.mac = kvr::sim::ParseMac(macs[i]).value();
        d.name = "Bench " + std::to_string(i + 1);
        d.downloadMode = i == 0;
        sim.AddDevice(d);
    }
    std::string err;
    if (!sim.StartOnSegment("bench" + std::to_string(::getpid()), &err)) {
        std::fprintf(stderr, "simulator: %s\n", err.c_str());
        return 1;
    }

    const auto t0 = Clock::now();
    const int adapters = RefreshNicPool();
    const auto t1 = Clock::now();
    int listed = 0;
    {
        kvr::frmZarni w;
        w.Form_Load();
        listed = w.findChild<QTreeWidget*>("lvZarn")->topLevelItemCount();
    }
    const auto t2 = Clock::now();
    sim.Stop();
    kvr::DestroyMessageWindow();
    kvr::RemoveQtSeams();

    const double scanPause = 2000.0;
    const double windows = 2.0 * static_cast<double>(clsDiscover::kCollectWindowMs) * adapters;
    const double total = Ms(t2 - t0);
    std::printf("adapters in the pool          %d\n", adapters);
    std::printf("devices listed                %d\n", listed);
    std::printf("adapter scan (RefreshNicPool) %8.0f ms  (fixed pause %4.0f ms)\n", Ms(t1 - t0), scanPause);
    std::printf("discovery and list (Form_Load)%8.0f ms  (fixed windows %4.0f ms: 2 x 1 s per adapter)\n",
                Ms(t2 - t1), windows);
    std::printf("total                         %8.0f ms, fixed waits %4.0f ms (%.0f %%), the rest %4.0f ms\n", total,
                scanPause + windows, 100.0 * (scanPause + windows) / total, total - scanPause - windows);
    return listed == 3 ? 0 : 1;
}
