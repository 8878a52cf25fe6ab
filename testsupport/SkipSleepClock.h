#pragma once
// Real time in which sleeps pass at once: fixed pauses of the logic (the
// adapter scan's, the waits between polls) cost nothing, while waits on real
// peers (a simulator thread, a library's receive wait) still take real time.
// Several threads may share one.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "Seams.h"

namespace kvr::test {

class SkipSleepClock : public Clock {
public:
    // `speed` > 1 also lets real time run that many times faster (listening
    // windows on a simulator then end sooner; its answers still come in time).
    explicit SkipSleepClock(int speed = 1) : m_speed(speed), m_start(SteadyMs()) {}
    std::int64_t NowMs() override { return m_start + (SteadyMs() - m_start) * m_speed + m_skipped; }
    void SleepMs(long ms) override {
        if (ms > 0) m_skipped += ms;
    }
    // A library's wait for a frame ends as much sooner as real time runs faster.
    long RealMs(long ms) override { return ms > 0 ? static_cast<long>((ms + m_speed - 1) / m_speed) : ms; }

private:
    static std::int64_t SteadyMs() {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }
    std::int64_t m_speed;
    std::int64_t m_start;
    std::atomic<std::int64_t> m_skipped{0};
};

// Polls `condition` until it holds or `timeoutMs` of real time passed; the
// last result. For waiting on a simulator's thread instead of sleeping a
// fixed time.
template <typename Condition>
bool WaitFor(Condition condition, long timeoutMs = 5000) {
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + milliseconds(timeoutMs);
    while (!condition()) {
        if (steady_clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(milliseconds(5));
    }
    return true;
}

}  // namespace kvr::test
