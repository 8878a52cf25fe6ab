// Where the program's files go: beside a writable application directory, else
// in the user's data directory, which is made private; never anywhere else.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "RecordingPrompter.h"
#include "TempAppDir.h"
#include "DataDirectory.h"
#include "RawAccess.h"
#include "clsDbManager.h"

namespace fs = std::filesystem;

namespace {

unsigned Mode(const fs::path& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

struct Case {
    const char* name;
    bool appWritable;
    std::map<std::string, std::string> env;  // "@" stands for the test's directory
    const char* expected;                    // "" when the choice must fail
};

}  // namespace

TEST(DataDirectory, ChoiceFollowsTheApplicationDirectoryAndTheEnvironment) {
    const Case cases[] = {
        {"writable bundle", true, {{"XDG_DATA_HOME", "@/xdg"}}, "@/app"},
        {"XDG_DATA_HOME", false, {{"XDG_DATA_HOME", "@/xdg/deep"}, {"HOME", "@/home"}}, "@/xdg/deep/kvr-installer"},
        {"relative XDG_DATA_HOME is ignored", false, {{"XDG_DATA_HOME", "rel"}, {"HOME", "@/home"}},
         "@/home/.local/share/kvr-installer"},
        {"HOME only", false, {{"HOME", "@/home"}}, "@/home/.local/share/kvr-installer"},
        {"XDG_DATA_HOME below a file", false, {{"XDG_DATA_HOME", "@/file/x"}, {"HOME", "@/home"}}, ""},
        {"data directory is a file", false, {{"XDG_DATA_HOME", "@/taken"}}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kvr::test::TempAppDir dir;
        const fs::path root = dir.Path();
        auto expand = [&](std::string s) { return s.rfind('@', 0) == 0 ? root.string() + s.substr(1) : s; };
        fs::create_directories(root / "app");
        std::ofstream(root / "file") << "x";
        fs::create_directories(root / "taken");
        std::ofstream(root / "taken" / "kvr-installer") << "x";
        if (!c.appWritable) fs::permissions(root / "app", fs::perms::owner_read | fs::perms::owner_exec);
        std::map<std::string, std::string> env;
        for (const auto& [k, v] : c.env) env[k] = expand(v);
        const auto lookup = [&](const char* name) -> const char* {
            const auto it = env.find(name);
            return it == env.end() ? nullptr : it->second.c_str();
        };
        const auto before = std::distance(fs::recursive_directory_iterator(root), {});

        const kvr::DataDirectoryChoice choice = kvr::ChooseDataDirectory((root / "app").string(), lookup);

        EXPECT_EQ(choice.path, std::string(c.expected).empty() ? "" : expand(c.expected));
        EXPECT_EQ(choice.beside, c.appWritable);
        if (choice.path.empty()) {
            EXPECT_NE(choice.problem.find("read-only; set XDG_DATA_HOME"), std::string::npos) << choice.problem;
            EXPECT_EQ(std::distance(fs::recursive_directory_iterator(root), {}), before);  // nothing written
        } else if (!choice.beside) {
            EXPECT_EQ(Mode(choice.path), 0700u);
            EXPECT_TRUE(kvr::IsWritableDirectory(choice.path));
        }
    }
}

// The database of a read-only application directory is made from its template
// in the data directory; the application directory stays as it was.
TEST(DataDirectory, DatabaseOfAReadOnlyApplicationDirectoryGoesToTheDataDirectory) {
    kvr::test::TempAppDir app;
    app.CopyTemplate();
    fs::permissions(app.Path(), fs::perms::owner_read | fs::perms::owner_exec);
    kvr::test::TempAppDir data;
    kvr::SetDataDirectory(data.Path());
    G().AppDirectory = app.Path();
    {
        clsDbManager db;
        EXPECT_TRUE(db.IsUpdatable());
        EXPECT_EQ(db.DatabasePath(), data.File("db1.mdb"));
    }
    kvr::SetDataDirectory({});
    EXPECT_TRUE(fs::exists(data.File("db1.mdb")));
    EXPECT_FALSE(fs::exists(app.File("db1.mdb")));
    EXPECT_EQ(kvr::DataFilePath("history.log", "."), "./history.log");
}

TEST(DataDirectory, MissingRawAccessNamesItsCauseAndTheCommandThatMendsIt) {
    kvr::RawAccessFacts ok;
    ok.helperPath = "/opt/kvr-installer/kvr-rawhelper";
    ok.programPath = "/opt/kvr-installer/KVRinstaller";
    ok.installed = ok.helperExists = ok.helperRunnable = true;
    ok.user = "ann";
    ok.helperGroup = "kvr-installer";
    ok.capability = kvr::HelperCapability::Present;
    struct Row {
        const char* what;
        std::function<void(kvr::RawAccessFacts&)> change;
        std::string expected;  // "" when nothing is missing
    };
    const Row rows[] = {
        {"helper usable", [](auto&) {}, ""},
        {"process capable", [](auto& f) { f.helperExists = false, f.processCapable = true; }, ""},
        {"helper missing", [](auto& f) { f.helperExists = false; },
         "The raw-frame helper /opt/kvr-installer/kvr-rawhelper is missing, so network adapters cannot be opened for raw "
         "frames.  Install it again with \"sudo apt-get install --reinstall kvr-installer\"."},
        {"not in the group", [](auto& f) { f.helperRunnable = false; },
         "You (ann) are not in the group kvr-installer, which may run the raw-frame helper /opt/kvr-installer/kvr-rawhelper, "
         "so network adapters cannot be opened for raw frames.  Join it with \"sudo adduser ann kvr-installer\", then log in again."},
        {"joined, same session", [](auto& f) { f.helperRunnable = false, f.listedInGroup = true; },
         "You were added to the group kvr-installer after this session began, so you may not run the raw-frame helper "
         "/opt/kvr-installer/kvr-rawhelper yet, so network adapters cannot be opened for raw frames.  Log out and log in again."},
        {"no capability", [](auto& f) { f.capability = kvr::HelperCapability::Absent; },
         "The raw-frame helper /opt/kvr-installer/kvr-rawhelper lacks the capability cap_net_raw, so network adapters cannot "
         "be opened for raw frames.  Add it with \"sudo setcap cap_net_raw+ep /opt/kvr-installer/kvr-rawhelper\"."},
        {"no extended attributes", [](auto& f) { f.capability = kvr::HelperCapability::NoExtendedAttributes; },
         "The file system holding /opt/kvr-installer/kvr-rawhelper keeps no extended attributes, so the raw-frame helper "
         "cannot hold the capability cap_net_raw, so network adapters cannot be opened for raw frames.  Run the program as "
         "root: \"sudo /opt/kvr-installer/KVRinstaller\"."},
    };
    for (const Row& row : rows) {
        kvr::RawAccessFacts f = ok;
        row.change(f);
        EXPECT_EQ(kvr::RawAccessAdvice(f), row.expected) << row.what;
    }

    // What the system tells, for a helper copy of each kind.
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to compare with an ordinary user";
    kvr::test::TempAppDir dir;
    fs::permissions(dir.Path(), fs::perms(0755));
    EXPECT_TRUE(kvr::LearnRawAccessFacts(dir.Path()).processCapable);
    EXPECT_TRUE(kvr::test::RunUnprivileged([&] {
        const auto f = kvr::LearnRawAccessFacts(dir.Path());
        return !f.processCapable && !f.helperExists && f.user == "nobody";
    }));
    const std::string helper = dir.Path() + "/kvr-rawhelper";
    std::ofstream(helper) << "#!/bin/sh\n";
    ASSERT_EQ(::chown(helper.c_str(), 0, 0), 0);
    ASSERT_EQ(::chmod(helper.c_str(), 0750), 0);
    EXPECT_TRUE(kvr::test::RunUnprivileged([&] {
        const auto f = kvr::LearnRawAccessFacts(dir.Path());
        return f.helperExists && !f.helperRunnable && f.helperGroup == "root" && !f.listedInGroup;
    }));
    ASSERT_EQ(::chown(helper.c_str(), 0, 65534), 0);
    ASSERT_EQ(::chmod(helper.c_str(), 0750), 0);
    EXPECT_TRUE(kvr::test::RunUnprivileged([&] {
        const auto f = kvr::LearnRawAccessFacts(dir.Path());
        return f.helperRunnable && f.listedInGroup && f.capability == kvr::HelperCapability::Absent;
    }));
    if (std::system(("setcap cap_net_raw+ep " + helper + " 2>/dev/null").c_str()) != 0) GTEST_SKIP() << "no setcap";
    EXPECT_TRUE(kvr::test::RunUnprivileged([&] {
        return kvr::RawAccessAdvice(kvr::LearnRawAccessFacts(dir.Path())).empty();
    }));
}
