#pragma once
// Receives every debug-log line while it lives (it takes the status window's
// slot and gives it back afterwards), for tests that check what was logged.
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "basDebug.h"

namespace kvr::test {

struct LogLine {
    std::string message;
    long level = 0;
    std::string module;
};

class LogRecorder : public StatusWindowSink {
public:
    LogRecorder();
    ~LogRecorder() override;
    LogRecorder(const LogRecorder&) = delete;
    LogRecorder& operator=(const LogRecorder&) = delete;

    void PostMessage(const std::string& message, float, long level, const std::string& module) override;

    // Lines with exactly this message and level (and module, when given).
    std::size_t Count(const std::string& message, long level, const std::string& module = {}) const;
    bool Has(const std::string& message, long level, const std::string& module = {}) const {
        return Count(message, level, module) > 0;
    }
    // Lines whose message contains `part` (at `level`, when given).
    std::vector<LogLine> Find(const std::string& part, std::optional<long> level = std::nullopt) const;
    std::size_t CountContaining(const std::string& part, std::optional<long> level = std::nullopt) const {
        return Find(part, level).size();
    }
    bool HasContaining(const std::string& part, std::optional<long> level = std::nullopt) const {
        return CountContaining(part, level) > 0;
    }
    // Lines whose message starts with `prefix`.
    std::size_t CountPrefix(const std::string& prefix) const;
    // Every line, one per row, for failure messages.
    std::string Dump() const;
    void Clear() { lines.clear(); }

    std::vector<LogLine> lines;

private:
    StatusWindowSink* m_previous;
};

}  // namespace kvr::test
