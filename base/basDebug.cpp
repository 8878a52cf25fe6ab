#include "basDebug.h"

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <ctime>
#include <atomic>
#include <mutex>

#include "ElapsedTime.h"
#include "Globals.h"
#include "HexText.h"
#include "RunTimeError.h"
#include "Text.h"

namespace kvr {
namespace {

OutputFileSink* g_outputFile = nullptr;
StatusLogWriter g_statusLog;
Beeper* g_beeper = nullptr;

thread_local std::string t_tag;

// Counter reading taken at the first message of the run; zero until then.
std::uint64_t g_timerBase = 0;
std::atomic<bool> g_timerSet{false};

// Leading number of a text as a whole number (a fraction is rounded half to
// even); 0 when the text does not start with a number.
long LeadingNumber(const std::string& text) {
    // Only a plain decimal number counts ("0x10" is 0, not 16).
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    std::size_t j = i;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
    while (j < text.size() && std::isdigit(static_cast<unsigned char>(text[j]))) ++j;
    if (j < text.size() && text[j] == '.') {
        ++j;
        while (j < text.size() && std::isdigit(static_cast<unsigned char>(text[j]))) ++j;
    }
    const std::string number = text.substr(i, j - i);
    char* end = nullptr;
    double v = std::strtod(number.c_str(), &end);
    if (end == number.c_str() || !std::isfinite(v)) return 0;
    v = std::nearbyint(v);
    if (v > 2147483647.0) return 2147483647L;
    if (v < -2147483648.0) return -2147483647L - 1;
    return static_cast<long>(v);
}

}  // namespace

// One message at a time reaches the sinks.
std::recursive_mutex& LogMutex() {
    static std::recursive_mutex m;
    return m;
}

void SetOutputFileSink(OutputFileSink* sink) {
    const std::lock_guard<std::recursive_mutex> lock(LogMutex());
    g_outputFile = sink;
}
void SetStatusWindowSink(StatusWindowSink* sink) {
    const std::lock_guard<std::recursive_mutex> lock(LogMutex());
    G().StatusWindowSlot0 = sink;
}
void SetStatusLogWriter(StatusLogWriter writer) {
    const std::lock_guard<std::recursive_mutex> lock(LogMutex());
    g_statusLog = std::move(writer);
}
void SetBeeper(Beeper* beeper) {
    const std::lock_guard<std::recursive_mutex> lock(LogMutex());
    g_beeper = beeper;
}

ThreadLogTag::ThreadLogTag(std::string tag) : m_previous(std::exchange(t_tag, std::move(tag))) {}
ThreadLogTag::~ThreadLogTag() { t_tag = std::move(m_previous); }

void LogTrappedError(const ModuleLog& log, const std::string& procedure) {
    log(FormatTrappedError(CurrentTrappedError(), procedure), LEVEL_ERROR);
}

}  // namespace kvr

long ParseLogLevel(const kvr::LogLevelArg& level) {
    if (level.IsMissing()) return kvr::LEVEL_TRACE;
    if (level.IsNumber()) {
        // A number's text starts with a digit unless it is negative, and a
        // negative number matches none of the level words.
        return level.Number() >= 0 ? level.Number() : static_cast<long>(kvr::LEVEL_TRACE);
    }
    const std::string& text = level.Text();
    if (!text.empty() && text[0] >= '0' && text[0] <= '9') return kvr::LeadingNumber(text);
    // Order matters: a text holding both ERROR and USER is an error.
    static const struct {
        const char* word;
        long level;
    } kWords[] = {
        {"DETAIL", 1},  {"MUTEX", 3},   {"TRACE", 5}, {"DLL DEBUG SPEW", 5}, {"WARNING", 7},
        {"WATCH", 9},   {"ERROR", 11},  {"FATAL", 15}, {"NONE", 17},          {"USER", 13},
    };
    const std::string upper = kvr::Upper(text);
    for (const auto& w : kWords) {
        if (upper.find(w.word) != std::string::npos) return w.level;
    }
    return kvr::LEVEL_TRACE;
}

std::string LogLevelName(long level) {
    switch (level) {
        case 1: return "DETAIL";
        case 3: return "MUTEX";
        case 5: return "TRACE";
        case 7: return "WARNING";
        case 9: return "WATCH";
        case 11: return "ERROR";
        case 13: return "USER";
        case 15: return "FATAL";
        case 17: return "NONE";
        default: return "unknown";
    }
}

std::string FormatOutputLine(const std::string& message, float elapsedMs, long /*level*/,
                             const std::string& /*module*/) {
    double r = std::isfinite(elapsedMs) ? std::nearbyint(static_cast<double>(elapsedMs)) : 0.0;
    if (r < 0) r = 0;
    const long long t = static_cast<long long>(r);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld.%03lld", t / 3600000LL, (t % 3600000LL) / 60000LL,
                  (t % 60000LL) / 1000LL, t % 1000LL);
    return std::string(buf) + " | " + message;
}

void DebugLog(const std::string& rawMessage, const kvr::LogLevelArg& level,
              const std::optional<std::string>& module) {
    // A sink that logs while it handles a message must not recurse without end.
    thread_local int depth = 0;
    if (depth >= 3) return;
    struct Depth {
        Depth() { ++depth; }
        ~Depth() { --depth; }
    } guard;
    // The log never fails towards its caller: an error ends this message.
    try {
        const long lvl = ParseLogLevel(level);
        {
            // A message no sink takes needs no turn at the sinks (once the
            // first message has set the timer base).
            const ProgramState& g = G();
            if (kvr::g_timerSet.load(std::memory_order_acquire) && !g.StatusWindowSlot0 &&
                lvl < g.DebugLoggingLevel && lvl < kvr::LEVEL_ERROR)
                return;
        }
        const std::lock_guard<std::recursive_mutex> lock(kvr::LogMutex());
        const std::string message = kvr::t_tag.empty() ? rawMessage : "[" + kvr::t_tag + "] " + rawMessage;
        ProgramState& g = G();
        if (kvr::g_timerBase == 0) {
            kvr::g_timerBase = ReadPerformanceCounter();
            const auto high = static_cast<std::uint32_t>(kvr::g_timerBase >> 32);
            const auto low = static_cast<std::int32_t>(static_cast<std::uint32_t>(kvr::g_timerBase));
            const std::string text = "Setting timer base (highpart=0x" + kvr::HexUpper(high) +
                                     ", lowpart=" + std::to_string(low) + ").";
            if (kvr::g_statusLog) kvr::g_statusLog(text, kvr::LEVEL_ERROR, "basDebug", 0);
            kvr::g_timerSet.store(true, std::memory_order_release);
        }
        if (lvl >= kvr::LEVEL_FATAL && kvr::g_beeper) {
            for (int i = 0; i < 3; ++i) kvr::g_beeper->Beep();
        }
        const std::string mod = module ? *module : std::string("unspecified");
        const float elapsed = GetElapsedMs(kvr::g_timerBase);
        const long runtime = static_cast<long>(std::nearbyint(static_cast<double>(elapsed)));
        if (g.StatusWindowSlot0) g.StatusWindowSlot0->PostMessage(message, elapsed, lvl, mod);
        if (lvl >= g.DebugLoggingLevel && kvr::g_statusLog) kvr::g_statusLog(message, lvl, mod, runtime);
        if (g.AutomationMode && lvl >= kvr::LEVEL_ERROR && kvr::g_outputFile) {
            kvr::g_outputFile->WriteLine(FormatOutputLine(message, elapsed, lvl, mod));
        }
    } catch (...) {
    }
}

long InitDebugLog() {
    try {
        const std::uint64_t freq = ReadPerformanceFrequency();
        DebugLog("Performance frequency: high=0x" + kvr::HexUpper(static_cast<std::uint32_t>(freq >> 32)) +
                     " low=0x" + kvr::HexUpper(static_cast<std::uint32_t>(freq)),
                 "TRACE");
    } catch (...) {
    }
    return 0;
}

void ApplyDebugLoggingLevelSetting(const std::string& text) {
    const long v = kvr::LeadingNumber(text);
    if (v >= 1 && v <= 17) G().DebugLoggingLevel = v;
}
