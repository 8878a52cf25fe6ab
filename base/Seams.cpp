#include "Seams.h"

#include <chrono>
#include <thread>

#include "basDebug.h"

namespace kvr {
namespace {

class SteadyClock : public Clock {
public:
    std::int64_t NowMs() override {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }
    void SleepMs(long ms) override {
        if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
};

class NoPump : public EventPump {
public:
    void DoEvents() override {}
};

}  // namespace

PromptAnswer NegativePrompter::Ask(const std::string& text, const std::string& title, PromptButtons buttons,
                                   PromptIcon) {
    PromptAnswer a = PromptAnswer::OK;
    switch (buttons) {
        case PromptButtons::OK: a = PromptAnswer::OK; break;
        case PromptButtons::OKCancel: a = PromptAnswer::Cancel; break;
        case PromptButtons::YesNo: a = PromptAnswer::No; break;
        case PromptButtons::RetryCancel: a = PromptAnswer::Cancel; break;
    }
    DebugLog("Unanswered question (" + title + "): " + text, LEVEL_ERROR, std::string("Prompter"));
    return a;
}

namespace {

SteadyClock g_steady;
NoPump g_noPump;
NegativePrompter g_negative;
Clock* g_clock = nullptr;
EventPump* g_pump = nullptr;
Prompter* g_prompter = nullptr;
thread_local Clock* t_clock = nullptr;
thread_local EventPump* t_pump = nullptr;
thread_local Prompter* t_prompter = nullptr;

}  // namespace

Clock& CurrentClock() { return t_clock ? *t_clock : g_clock ? *g_clock : g_steady; }
EventPump& CurrentEventPump() { return t_pump ? *t_pump : g_pump ? *g_pump : g_noPump; }
Prompter& CurrentPrompter() { return t_prompter ? *t_prompter : g_prompter ? *g_prompter : g_negative; }

ThreadSeams::ThreadSeams(Clock* clock, EventPump* pump, Prompter* prompter)
    : m_clock(t_clock), m_pump(t_pump), m_prompter(t_prompter) {
    if (clock) t_clock = clock;
    if (pump) t_pump = pump;
    if (prompter) t_prompter = prompter;
}

ThreadSeams::~ThreadSeams() {
    t_clock = m_clock;
    t_pump = m_pump;
    t_prompter = m_prompter;
}
void SetClock(Clock* clock) { g_clock = clock; }
void SetEventPump(EventPump* pump) { g_pump = pump; }
void SetPrompter(Prompter* prompter) { g_prompter = prompter; }

}  // namespace kvr
