#pragma once
// The debug log: every module reports through DebugLog with a level and its
// module name. Messages reach the status window (slot 0), the status log (at
// or above DebugLoggingLevel, through the writer the program installs) and,
// during an unattended run, the automation output file (ERROR and above).
// DebugLog never fails towards its caller. Any thread may log: one message
// is handed to the sinks at a time, in the order the messages came, so each
// sink is written from one place at a time.
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace kvr {

// Named levels: odd numbers 1..17.
enum LogLevel : long {
    LEVEL_DETAIL = 1,
    LEVEL_MUTEX = 3,
    LEVEL_TRACE = 5,
    LEVEL_WARNING = 7,
    LEVEL_WATCH = 9,
    LEVEL_ERROR = 11,
    LEVEL_USER = 13,
    LEVEL_FATAL = 15,
    LEVEL_NONE = 17,
};

// A level as callers give it: a number, a name ("warning", "LEVEL_USER"), or missing.
class LogLevelArg {
public:
    LogLevelArg() = default;
    LogLevelArg(long n) : m_kind(Kind::Number), m_number(n) {}
    LogLevelArg(int n) : m_kind(Kind::Number), m_number(n) {}
    LogLevelArg(LogLevel n) : m_kind(Kind::Number), m_number(n) {}
    LogLevelArg(const char* s) : m_kind(s ? Kind::Text : Kind::Missing), m_text(s ? s : "") {}
    LogLevelArg(std::string s) : m_kind(Kind::Text), m_text(std::move(s)) {}

    bool IsMissing() const { return m_kind == Kind::Missing; }
    bool IsNumber() const { return m_kind == Kind::Number; }
    long Number() const { return m_number; }
    const std::string& Text() const { return m_text; }

private:
    enum class Kind { Missing, Number, Text };
    Kind m_kind = Kind::Missing;
    long m_number = 0;
    std::string m_text;
};

// Receives every message (the status window registers one in slot 0).
class StatusWindowSink {
public:
    virtual ~StatusWindowSink() = default;
    virtual void PostMessage(const std::string& message, float elapsedMs, long level,
                             const std::string& module) = 0;
};

// Installs the status window's sink in slot 0 (nullptr = none); returns once
// no message is being handed to the one before.
void SetStatusWindowSink(StatusWindowSink* sink);

// The automation output file (open only during an unattended run).
class OutputFileSink {
public:
    virtual ~OutputFileSink() = default;
    virtual void WriteLine(const std::string& line) = 0;
};
void SetOutputFileSink(OutputFileSink* sink);  // not owned; nullptr = none

// Appends one row to the status log (the program installs the database's).
using StatusLogWriter =
    std::function<void(const std::string& message, long level, const std::string& module, long runTime)>;
void SetStatusLogWriter(StatusLogWriter writer);  // empty = none
// The lock a message holds while it reaches the sinks (recursive: a sink
// that logs comes back on the same thread). The status log's database takes
// it for every use of its connection, so that a record written for a thread
// and a settings or string-table statement of another never interleave;
// holding it across a wait for another thread's log call would stop both.
std::recursive_mutex& LogMutex();

// Sound of the beeps at FATAL and above (the window layer installs the real one).
class Beeper {
public:
    virtual ~Beeper() = default;
    virtual void Beep() = 0;
};
void SetBeeper(Beeper* beeper);  // not owned; nullptr = silent

// For the life of the object every message the calling thread logs starts
// with "[tag] " (a device's MAC while several devices are worked on at once).
// Scopes nest; each restores what it found. An empty tag adds nothing.
class ThreadLogTag {
public:
    explicit ThreadLogTag(std::string tag);
    ~ThreadLogTag();
    ThreadLogTag(const ThreadLogTag&) = delete;
    ThreadLogTag& operator=(const ThreadLogTag&) = delete;

private:
    std::string m_previous;
};

}  // namespace kvr

void DebugLog(const std::string& message, const kvr::LogLevelArg& level = {},
              const std::optional<std::string>& module = std::nullopt);
long ParseLogLevel(const kvr::LogLevelArg& level);
std::string LogLevelName(long level);
std::string FormatOutputLine(const std::string& message, float elapsedMs, long level,
                             const std::string& module);
long InitDebugLog();
// The log's threshold from the text of its setting: a whole number from 1 to
// 17 becomes G().DebugLoggingLevel; anything else leaves it as it is.
void ApplyDebugLoggingLevelSetting(const std::string& text);

namespace kvr {
// A module's private log routine: puts the procedure name (when given) and
// ": " in front of the message and logs under the module's name.
//   static kvr::ModuleLog Log("modZarniSupp");
//   Log("opened", LEVEL_TRACE, "OpenNdisRaw");   // "OpenNdisRaw: opened"
class ModuleLog {
public:
    explicit ModuleLog(const char* module) : m_module(module) {}
    void operator()(const std::string& message, const LogLevelArg& level = {},
                    const std::string& procedure = {}) const {
        DebugLog(procedure.empty() ? message : procedure + ": " + message, level, std::string(m_module));
    }
    const char* Module() const { return m_module; }

private:
    const char* m_module;
};

// Logs the error being handled (call it inside a catch block) the way every
// procedure that traps errors does, at ERROR through the module's routine:
//   "Error #" + number + ": " + description + " in " + procedure
// with the number and description CurrentTrappedError gives.
void LogTrappedError(const ModuleLog& log, const std::string& procedure);
}  // namespace kvr
