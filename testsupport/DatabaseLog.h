#pragma once
// The debug log's status-log rows go through `writer` while one of these
// lives, as the program's start-up wires them to its database. For tests that
// build a database by hand and read its log rows:
//   kvr::test::DatabaseLog dbLog(clsDbManager::LogWriter());
#include "basDebug.h"

namespace kvr::test {

class DatabaseLog {
public:
    explicit DatabaseLog(kvr::StatusLogWriter writer) { kvr::SetStatusLogWriter(std::move(writer)); }
    ~DatabaseLog() { kvr::SetStatusLogWriter({}); }
    DatabaseLog(const DatabaseLog&) = delete;
    DatabaseLog& operator=(const DatabaseLog&) = delete;
};

}  // namespace kvr::test
