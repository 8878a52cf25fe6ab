#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "DatabaseLog.h"
#include "TempAppDir.h"
#include "Globals.h"
#include "basDebug.h"
#include "clsDbManager.h"

namespace {

TEST(LogLevels, ParsingOrderAndNames) {
    EXPECT_EQ(ParseLogLevel({}), 5);
    EXPECT_EQ(ParseLogLevel(7), 7);
    EXPECT_EQ(ParseLogLevel("7"), 7);
    EXPECT_EQ(ParseLogLevel("12abc"), 12);
    EXPECT_EQ(ParseLogLevel("warning"), 7);
    EXPECT_EQ(ParseLogLevel("LEVEL_USER"), 13);
    EXPECT_EQ(ParseLogLevel("error"), 11);
    EXPECT_EQ(ParseLogLevel("DLL DEBUG SPEW"), 5);
    EXPECT_EQ(ParseLogLevel("USER ERROR"), 11);  // ERROR is tested before USER
    EXPECT_EQ(ParseLogLevel(""), 5);
    EXPECT_EQ(ParseLogLevel("nonsense"), 5);
    EXPECT_EQ(LogLevelName(8), "unknown");
}

TEST(LogLevels, OutputLineTimeText) {
    EXPECT_EQ(FormatOutputLine("msg", 3723045.0f, 11, "m"), "1:02:03.045 | msg");
    EXPECT_EQ(FormatOutputLine("x", 0.0f, 13, "m"), "0:00:00.000 | x");
    EXPECT_EQ(FormatOutputLine("x", 59999.6f, 13, "m"), "0:01:00.000 | x");
    EXPECT_EQ(FormatOutputLine("x", 36000000.0f, 13, "m"), "10:00:00.000 | x");
}

struct Posted {
    std::string message;
    float elapsed;
    long level;
    std::string module;
};

class RecordingWindow : public kvr::StatusWindowSink {
public:
    void PostMessage(const std::string& message, float elapsedMs, long level, const std::string& module) override {
        posts.push_back({message, elapsedMs, level, module});
    }
    std::vector<Posted> posts;
};

class RecordingFile : public kvr::OutputFileSink {
public:
    void WriteLine(const std::string& line) override { lines.push_back(line); }
    std::vector<std::string> lines;
};

class CountingBeeper : public kvr::Beeper {
public:
    void Beep() override { ++beeps; }
    int beeps = 0;
};

// A database with the debug log wired to it, plus recording sinks.
class DebugLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        app.CopyTemplate();
        db = std::make_unique<clsDbManager>();
        ASSERT_TRUE(db->IsOpen());
        G().StatusWindowSlot0 = &window;
        kvr::SetOutputFileSink(&file);
        kvr::SetBeeper(&beeper);
        G().DebugLoggingLevel = 7;
    }
    void TearDown() override {
        G().StatusWindowSlot0 = nullptr;
        kvr::SetOutputFileSink(nullptr);
        kvr::SetBeeper(nullptr);
        G().AutomationMode = false;
        db.reset();
    }
    // Rows of tblStatus written by a module.
    std::vector<std::string> Stored(const std::string& module) {
        std::vector<std::string> out;
        sqlite3* h = nullptr;
        sqlite3_open_v2(app.File("db1.mdb").c_str(), &h, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(h, "SELECT Message FROM tblStatus WHERE strModule = ?1 ORDER BY ID", -1, &st, nullptr);
        sqlite3_bind_text(st, 1, module.c_str(), -1, SQLITE_TRANSIENT);
        while (sqlite3_step(st) == SQLITE_ROW) out.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
        sqlite3_finalize(st);
        sqlite3_close(h);
        return out;
    }
    kvr::test::TempAppDir app;
    kvr::test::DatabaseLog dbLog{clsDbManager::LogWriter()};
    std::unique_ptr<clsDbManager> db;
    RecordingWindow window;
    RecordingFile file;
    CountingBeeper beeper;
};

TEST_F(DebugLogTest, ThresholdDecidesWhatReachesTheStatusLog) {
    DebugLog("a trace", "TRACE", std::string("modA"));
    DebugLog("a warning", kvr::LEVEL_WARNING, std::string("modA"));
    DebugLog("no module", "ERROR");
    ASSERT_EQ(window.posts.size(), 3u);
    EXPECT_EQ(window.posts[0].message, "a trace");
    EXPECT_EQ(window.posts[0].level, 5);
    EXPECT_EQ(window.posts[0].module, "modA");
    EXPECT_EQ(window.posts[2].module, "unspecified");
    EXPECT_GE(window.posts[1].elapsed, window.posts[0].elapsed);
    EXPECT_EQ(Stored("modA"), std::vector<std::string>{"a warning"});
    EXPECT_EQ(Stored("unspecified"), std::vector<std::string>{"no module"});

    G().DebugLoggingLevel = 17;
    DebugLog("fatal but filtered", "FATAL", std::string("modB"));
    DebugLog("none passes", "NONE", std::string("modB"));
    EXPECT_EQ(Stored("modB"), std::vector<std::string>{"none passes"});
    EXPECT_EQ(beeper.beeps, 6);  // three per message of FATAL and above, filtered or not
}

TEST_F(DebugLogTest, AutomationFileGetsErrorsAndAbove) {
    G().AutomationMode = true;
    DebugLog("w", "WARNING", std::string("m"));
    DebugLog("e", "ERROR", std::string("m"));
    DebugLog("u", "USER", std::string("m"));
    DebugLog("f", "FATAL", std::string("m"));
    DebugLog("n", "NONE", std::string("m"));
    ASSERT_EQ(file.lines.size(), 4u);
    EXPECT_NE(file.lines[0].find(" | e"), std::string::npos);
    EXPECT_NE(file.lines[3].find(" | n"), std::string::npos);
    G().AutomationMode = false;
    DebugLog("e2", "ERROR", std::string("m"));
    EXPECT_EQ(file.lines.size(), 4u);
}

TEST_F(DebugLogTest, LongMessageCutOnlyInTheStatusLog) {
    G().AutomationMode = true;
    const std::string longText(400, 'q');
    DebugLog(longText, "ERROR", std::string("modLong") + std::string(60, 'z'));
    EXPECT_EQ(window.posts.back().message, longText);
    EXPECT_EQ(file.lines.back().size(), 14 + longText.size());  // "0:00:00.000 | " in front
    const auto stored = Stored("modLong" + std::string(43, 'z'));
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0], std::string(250, 'q'));
}

TEST_F(DebugLogTest, ModuleLogPutsProcedureInFront) {
    static const kvr::ModuleLog Log("modTest");
    Log("opened", kvr::LEVEL_WARNING, "OpenNdisRaw");
    Log("plain", kvr::LEVEL_WARNING);
    EXPECT_EQ(Stored("modTest"), (std::vector<std::string>{"OpenNdisRaw: opened", "plain"}));
}

TEST_F(DebugLogTest, LevelSettingTakesOnlyLevelsOneToSeventeen) {
    for (const char* bad : {"0", "18", "abc", "-3", "0x10", ""}) {
        G().DebugLoggingLevel = 7;
        ApplyDebugLoggingLevelSetting(bad);
        EXPECT_EQ(G().DebugLoggingLevel, 7) << bad;
    }
    ApplyDebugLoggingLevelSetting("9");
    EXPECT_EQ(G().DebugLoggingLevel, 9);
    ApplyDebugLoggingLevelSetting("1");
    EXPECT_EQ(G().DebugLoggingLevel, 1);
    EXPECT_EQ(InitDebugLog(), 0);
    // The frequency line of InitDebugLog itself (1 MHz = 0xF4240).
    bool sawFrequency = false;
    for (const auto& p : window.posts)
        if (p.message == "Performance frequency: high=0x0 low=0xF4240") sawFrequency = true;
    EXPECT_TRUE(sawFrequency);
}

// A sink that fails must not reach the caller, nor keep the others from working.
class ThrowingWindow : public kvr::StatusWindowSink {
public:
    void PostMessage(const std::string&, float, long, const std::string&) override { throw std::runtime_error("x"); }
};

TEST(DebugLogFailure, NeverFailsTowardsTheCaller) {
    ThrowingWindow w;
    G().StatusWindowSlot0 = &w;
    EXPECT_NO_THROW(DebugLog("still fine", "ERROR", std::string("m")));
    G().StatusWindowSlot0 = nullptr;
}

}  // namespace

namespace {
// A window that logs about every message it receives.
class ChattyWindow : public kvr::StatusWindowSink {
public:
    void PostMessage(const std::string& message, float, long, const std::string&) override {
        ++calls;
        DebugLog("window saw: " + message, "TRACE", std::string("frmStatus"));
    }
    int calls = 0;
};

TEST(DebugLogFailure, SinkThatLogsDoesNotRecurseWithoutEnd) {
    ChattyWindow w;
    G().StatusWindowSlot0 = &w;
    DebugLog("hello", "ERROR", std::string("m"));
    G().StatusWindowSlot0 = nullptr;
    EXPECT_EQ(w.calls, 3);
}
}  // namespace
