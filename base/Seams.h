#pragma once
// Small interfaces through which the logic reaches time, the window system and
// the user. Windows install the real implementations; tests install fakes, so
// every wait and question can be driven fast and headless.
#include <cstdint>
#include <string>

namespace kvr {

// Monotonic time in milliseconds and sleeping.
class Clock {
public:
    virtual ~Clock() = default;
    virtual std::int64_t NowMs() = 0;
    virtual void SleepMs(long ms) = 0;
    // The real milliseconds a wait outside the program (a library blocking
    // until a frame comes) is given so that it spans `ms` of this clock.
    virtual long RealMs(long ms) { return ms; }
};

// "Let pending window events run" (DoEvents). A no-op when headless.
class EventPump {
public:
    virtual ~EventPump() = default;
    virtual void DoEvents() = 0;
};

enum class PromptButtons { OK, OKCancel, YesNo, RetryCancel };
enum class PromptIcon { None, Information, Warning, Critical, Question };
enum class PromptAnswer { OK, Cancel, Yes, No, Retry };

// Message boxes: a text, a title, buttons and an icon give the user's answer.
class Prompter {
public:
    virtual ~Prompter() = default;
    virtual PromptAnswer Ask(const std::string& text, const std::string& title,
                             PromptButtons buttons, PromptIcon icon) = 0;
};

// A progress bar as the transport, the device waits and the download drive it.
class ProgressBar {
public:
    virtual ~ProgressBar() = default;
    virtual void SetMin(long v) = 0;
    virtual void SetMax(long v) = 0;
    virtual void SetValue(long v) = 0;
    virtual long Min() const = 0;
    virtual long Max() const = 0;
    virtual long Value() const = 0;
};

// Headless: nobody can answer, so every question gets its negative answer
// (Cancel, No, or OK for an OK-only box) and is logged at ERROR, so it reaches
// the output file of an unattended run.
class NegativePrompter : public Prompter {
public:
    PromptAnswer Ask(const std::string& text, const std::string& title, PromptButtons buttons,
                     PromptIcon icon) override;
};

// Program-wide current seams. Defaults: a real monotonic clock, a no-op event
// pump, and a prompter that answers every question negatively (Cancel/No/OK
// for an OK-only box) after logging it, so nothing headless ever blocks.
Clock& CurrentClock();
EventPump& CurrentEventPump();
Prompter& CurrentPrompter();
// Install a replacement (not owned; nullptr restores the default).
void SetClock(Clock* clock);
void SetEventPump(EventPump* pump);
void SetPrompter(Prompter* prompter);

// Seams of the calling thread alone, for the life of the object: a download
// that runs on a thread of its own waits, asks and lets events run through
// these, while every other thread keeps the program-wide ones. A null
// argument keeps what the thread had. Scopes nest; each restores what it
// found.
class ThreadSeams {
public:
    ThreadSeams(Clock* clock, EventPump* pump, Prompter* prompter);
    ~ThreadSeams();
    ThreadSeams(const ThreadSeams&) = delete;
    ThreadSeams& operator=(const ThreadSeams&) = delete;

private:
    Clock* m_clock;
    EventPump* m_pump;
    Prompter* m_prompter;
};

// A progress bar that only keeps its values (for tests and headless runs).
class MemoryProgressBar : public ProgressBar {
public:
    void SetMin(long v) override { m_min = v; }
    void SetMax(long v) override { m_max = v; }
    void SetValue(long v) override { m_value = v; }
    long Min() const override { return m_min; }
    long Max() const override { return m_max; }
    long Value() const override { return m_value; }

private:
    long m_min = 0, m_max = 100, m_value = 0;
};

// Fake clock for tests: time moves only when slept or advanced.
class FakeClock : public Clock {
public:
    std::int64_t NowMs() override { return m_now; }
    void SleepMs(long ms) override { if (ms > 0) m_now += ms; }
    void Advance(std::int64_t ms) { m_now += ms; }

private:
    std::int64_t m_now = 1000;
};

}  // namespace kvr
