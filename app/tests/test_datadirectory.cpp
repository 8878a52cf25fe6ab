// Where the program's files go: beside a writable application directory, else
// in the user's data directory, which is made private; never anywhere else.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "RecordingPrompter.h"
#include "TempAppDir.h"
#include "DataDirectory.h"
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

TEST(DataDirectory, MissingCapabilitiesAreNamedWithTheCommandThatAddsThem) {
    EXPECT_EQ(kvr::RawAccessAdvice({}, "/x/KVRinstaller"), "");
    const std::string one = kvr::RawAccessAdvice({"cap_net_raw"}, "/opt/kvr-installer/KVRinstaller");
    EXPECT_NE(one.find("The capability cap_net_raw is missing"), std::string::npos) << one;
    EXPECT_NE(one.find("sudo setcap cap_net_raw,cap_net_admin+ep /opt/kvr-installer/KVRinstaller"), std::string::npos);
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to compare with an ordinary user";
    EXPECT_TRUE(kvr::MissingRawCapabilities().empty());  // root has both
    EXPECT_TRUE(kvr::test::RunUnprivileged([] {           // nobody lacks both
        const auto missing = kvr::MissingRawCapabilities();
        return missing.size() == 2 && missing[0] == "cap_net_raw" && missing[1] == "cap_net_admin";
    }));
}
