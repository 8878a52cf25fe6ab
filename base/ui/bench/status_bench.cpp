// Cost of one message in the status window, which DebugLog feeds with every
// message of the run: hidden (the usual case) and shown, both with the grid
// full so every message also drops the oldest row. The shown window repaints
// after every 100 messages.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QTest>

#include <string>

#include "frmStatus.h"

namespace {

void Fill(kvr::frmStatus& w) {
    for (int i = 0; i < kvr::frmStatus::kMaxRows; ++i) w.PostMessage("warm-up " + std::to_string(i), 1.0f, 5, "bench");
}

void PostMessages(benchmark::State& state, bool shown) {
    kvr::frmStatus w;
    if (shown) {
        w.show();
        (void)QTest::qWaitForWindowExposed(&w);
    }
    Fill(w);
    const std::string message = "SendSnapCommand: no acknowledgement for label 0x1234 after 200 ms, retrying";
    float t = 0;
    long n = 0;
    for (auto _ : state) {
        w.PostMessage(message, t, 7, "clsSnapCommand");
        t += 1.5f;
        // The running program lets the window repaint between bursts of messages.
        if (shown && ++n % 100 == 0) QCoreApplication::processEvents();
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_StatusWindowHidden(benchmark::State& state) { PostMessages(state, false); }
void BM_StatusWindowShown(benchmark::State& state) { PostMessages(state, true); }
BENCHMARK(BM_StatusWindowHidden);
BENCHMARK(BM_StatusWindowShown);

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
