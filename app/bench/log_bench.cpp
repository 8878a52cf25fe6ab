// Status-log appends through DebugLog (level stored, trim active at
// MaxRecords 2000) against a bare prepared-statement insert loop on the same
// database file.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "Globals.h"
#include "basDebug.h"
#include "clsDbManager.h"

namespace {

namespace fs = std::filesystem;

struct BenchDir {
    BenchDir() {
        std::string tmpl = (fs::temp_directory_path() / "kvr-bench-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) std::abort();
        path = tmpl;
        fs::copy_file(std::string(KVR_BUNDLE_DIR) + "/db1_clean.mdb", path + "/db1_clean.mdb");
        G().AppDirectory = path;
    }
    ~BenchDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::string path;
};

void BM_DebugLogToStatusLog(benchmark::State& state) {
    BenchDir dir;
    auto db = std::make_unique<clsDbManager>();
    kvr::SetStatusLogWriter(clsDbManager::LogWriter());  // as the program's start-up wires it
    G().DebugLoggingLevel = 7;
    for (int i = 0; i < 2100; ++i) DebugLog("warm-up record " + std::to_string(i), "WARNING", std::string("bench"));
    const std::string message = "SendSnapCommand: no acknowledgement for label 0x1234 after 200 ms, retrying";
    for (auto _ : state) DebugLog(message, "WARNING", std::string("modSNAP"));
    state.SetItemsProcessed(state.iterations());
    db.reset();
}
BENCHMARK(BM_DebugLogToStatusLog)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();

// Bursts of messages with pauses between them, as the program logs: the
// longest single append of each burst is the time the caller (the window
// thread) stood still, e.g. while a checkpoint waited for the disk.
void BM_DebugLogBurstWorstAppend(benchmark::State& state) {
    BenchDir dir;
    auto db = std::make_unique<clsDbManager>();
    kvr::SetStatusLogWriter(clsDbManager::LogWriter());  // as the program's start-up wires it
    G().DebugLoggingLevel = 7;
    for (int i = 0; i < 2100; ++i) DebugLog("warm-up record " + std::to_string(i), "WARNING", std::string("bench"));
    const std::string message = "SendSnapCommand: no acknowledgement for label 0x1234 after 200 ms, retrying";
    double worstSum = 0, worstMax = 0;
    long bursts = 0;
    for (auto _ : state) {
        double worst = 0;
        for (int i = 0; i < 2500; ++i) {
            const auto t0 = std::chrono::steady_clock::now();
            DebugLog(message, "WARNING", std::string("modSNAP"));
            worst = std::max(worst, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        }
        worstSum += worst;
        worstMax = std::max(worstMax, worst);
        ++bursts;
        state.PauseTiming();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        state.ResumeTiming();
    }
    state.counters["worst_append_ms_mean"] = bursts ? worstSum / static_cast<double>(bursts) : 0;
    state.counters["worst_append_ms_max"] = worstMax;
    state.SetItemsProcessed(state.iterations() * 2500);
    db.reset();
}
BENCHMARK(BM_DebugLogBurstWorstAppend)->Unit(benchmark::kMillisecond)->Iterations(12)->UseRealTime();

void BM_BarePreparedInsert(benchmark::State& state) {
    BenchDir dir;
    { clsDbManager make; }  // db1.mdb from the template, as the program has it
    sqlite3* h = nullptr;
    sqlite3_open_v2((dir.path + "/db1.mdb").c_str(), &h, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_exec(h, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(h, "INSERT INTO tblStatus (lngRuntime, Level, Message, strModule) VALUES (?1, ?2, ?3, ?4)", -1,
                       &st, nullptr);
    const std::string message = "SendSnapCommand: no acknowledgement for label 0x1234 after 200 ms, retrying";
    long i = 0;
    for (auto _ : state) {
        sqlite3_bind_int64(st, 1, ++i);
        sqlite3_bind_int64(st, 2, 7);
        sqlite3_bind_text(st, 3, message.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(st, 4, "modSNAP", -1, SQLITE_STATIC);
        sqlite3_step(st);
        sqlite3_reset(st);
    }
    state.SetItemsProcessed(state.iterations());
    sqlite3_finalize(st);
    sqlite3_close(h);
}
BENCHMARK(BM_BarePreparedInsert)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
