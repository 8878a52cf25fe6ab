#include "LogRecorder.h"

#include <algorithm>

#include "Globals.h"

namespace kvr::test {

LogRecorder::LogRecorder() : m_previous(G().StatusWindowSlot0) { G().StatusWindowSlot0 = this; }

LogRecorder::~LogRecorder() { G().StatusWindowSlot0 = m_previous; }

void LogRecorder::PostMessage(const std::string& message, float, long level, const std::string& module) {
    lines.push_back({message, level, module});
}

std::size_t LogRecorder::Count(const std::string& message, long level, const std::string& module) const {
    return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const LogLine& l) {
        return l.message == message && l.level == level && (module.empty() || l.module == module);
    }));
}

std::vector<LogLine> LogRecorder::Find(const std::string& part, std::optional<long> level) const {
    std::vector<LogLine> out;
    for (const auto& l : lines)
        if (l.message.find(part) != std::string::npos && (!level || l.level == *level)) out.push_back(l);
    return out;
}

std::size_t LogRecorder::CountPrefix(const std::string& prefix) const {
    return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const LogLine& l) {
        return l.message.compare(0, prefix.size(), prefix) == 0;
    }));
}

std::string LogRecorder::Dump() const {
    std::string s;
    for (const auto& l : lines) s += "[" + l.module + " " + std::to_string(l.level) + "] " + l.message + "\n";
    return s;
}

}  // namespace kvr::test
