// The error report: support address, mail client lookup, the database copy
// and how the mail client is started. A stand-in mail client records the
// arguments it was given.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "RecordingPrompter.h"
#include "TempAppDir.h"
#include "ErrorReport.h"
#include "Globals.h"
#include "clsDbManager.h"

namespace {

namespace fs = std::filesystem;
using kvr::PromptAnswer;
using kvr::test::RecordingPrompter;
using kvr::test::TempAppDir;

const std::string kDbHint = "Please send the file '%s' to the proper support personnel.";

std::string ByHand(const TempAppDir& app) {
    std::string t = kDbHint;
    return t.replace(t.find("%s"), 2, app.File("db1.mdb"));
}

// An application directory with a database, and a folder for the stand-in
// mail client.
class ErrorReportTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_app.CopyTemplate();
        m_db = std::make_unique<clsDbManager>();
        ASSERT_TRUE(m_db->IsOpen());
        fs::create_directories(BinDir());
    }
    void TearDown() override { m_db.reset(); }

    std::string BinDir() const { return m_app.File("bin"); }
    std::string Record(const char* name) const { return m_app.File(std::string("record-") + name); }
    std::string Copy() const { return m_app.File("debug_log.mdb"); }

    // Writes bin/xdg-email: records its arguments (NUL-separated), whether the
    // attachment existed while it ran, and ends with exitCode.
    void InstallMailClient(int exitCode, const std::string& extra = "") const {
        const std::string path = BinDir() + "/xdg-email";
        std::ofstream(path) << "#!/bin/sh\n"
                            << "printf '%s\\0' \"$@\" > '" << Record("args") << "'\n"
                            << "if [ -f \"$4\" ]; then echo present > '" << Record("attach") << "'; fi\n"
                            << extra << "exit " << exitCode << "\n";
        ::chmod(path.c_str(), 0755);
    }
    std::vector<std::string> RecordedArguments() const {
        std::vector<std::string> args;
        const std::string all = m_app.Read("record-args");
        std::size_t start = 0;
        for (std::size_t nul = all.find('\0'); nul != std::string::npos; nul = all.find('\0', start)) {
            args.push_back(all.substr(start, nul - start));
            start = nul + 1;
        }
        return args;
    }
    void StoreAddress(const std::string& address) const {
        m_db->SaveSetting(kProgramTitle, "Settings", "SupportEmailAddress", address);
    }
    static kvr::InputBoxFn Answer(std::optional<std::string> answer, std::vector<std::string>* prompts = nullptr) {
        return [answer, prompts](const std::string& prompt, const std::string& title, const std::string& def) {
            if (prompts) *prompts = {prompt, title, def};
            return answer;
        };
    }

    TempAppDir m_app;
    std::unique_ptr<clsDbManager> m_db;
};

TEST_F(ErrorReportTest, MailClientGetsSubjectAttachmentAndAddressAsSeparateArgumentsAndTheCopyGoesAfterwards) {
    InstallMailClient(0);
    // Shell and option characters stay inside the one argument.
    const std::string address = "o'brien;`id>pwned`&$(reboot)|x?cc=all@example.com";
    StoreAddress("  " + address + " ");
    RecordingPrompter prompter(PromptAnswer::No);

    EXPECT_EQ(kvr::SendErrorReport(nullptr, BinDir()), kvr::REPORT_SENT);

    EXPECT_EQ(RecordedArguments(),
              (std::vector<std::string>{"--subject", "KVRinstaller - Debug Log", "--attach", Copy(), address}));
    EXPECT_EQ(m_app.Read("record-attach"), "present\n") << "the copy must exist while the mail client runs";
    EXPECT_FALSE(fs::exists(Copy()));
    EXPECT_FALSE(fs::exists(m_app.File("pwned")));
    EXPECT_TRUE(prompter.questions.empty());
    EXPECT_TRUE(m_db->IsOpen());  // the copy reopens the database
}

TEST_F(ErrorReportTest, BlankAddressAnsweredNoSendsNothing) {
    InstallMailClient(0);
    RecordingPrompter prompter(PromptAnswer::No);
    std::vector<std::string> prompts;

    EXPECT_EQ(kvr::SendErrorReport(Answer("never@asked.example", &prompts), BinDir()), kvr::REPORT_NO_ADDRESS);

    ASSERT_EQ(prompter.questions.size(), 1u);
    EXPECT_EQ(prompter.questions[0].text,
              "The support e-mail address is currently blank.  Would you like to add a default support e-mail "
              "address?");
    EXPECT_EQ(prompter.questions[0].buttons, kvr::PromptButtons::YesNo);
    EXPECT_TRUE(prompts.empty());
    EXPECT_FALSE(fs::exists(Record("args")));
    EXPECT_FALSE(fs::exists(Copy()));
    EXPECT_EQ(kvr::StoredSupportEmailAddress(), "");
}

TEST_F(ErrorReportTest, BlankAddressAnsweredYesAsksStoresAndSends) {
    InstallMailClient(0);
    RecordingPrompter prompter(PromptAnswer::Yes);
    std::vector<std::string> prompts;

    EXPECT_EQ(kvr::SendErrorReport(Answer(" support@kvr.example ", &prompts), BinDir()), kvr::REPORT_SENT);

    EXPECT_EQ(prompts, (std::vector<std::string>{"Enter the default support e-mail address:", "Support E-mail", ""}));
    EXPECT_EQ(kvr::StoredSupportEmailAddress(), "support@kvr.example");
    ASSERT_EQ(RecordedArguments().size(), 5u);
    EXPECT_EQ(RecordedArguments()[4], "support@kvr.example");

    // An input box cancelled or left blank sends nothing.
    fs::remove(Record("args"));
    m_db->RemoveSetting(kProgramTitle, "Settings", "SupportEmailAddress");
    EXPECT_EQ(kvr::SendErrorReport(Answer(std::nullopt), BinDir()), kvr::REPORT_NO_ADDRESS);
    EXPECT_EQ(kvr::SendErrorReport(Answer("   "), BinDir()), kvr::REPORT_NO_ADDRESS);
    EXPECT_FALSE(fs::exists(Record("args")));
}

TEST_F(ErrorReportTest, NoMailClientTellsTheUserWhichFileToSendByHand) {
    StoreAddress("support@kvr.example");
    RecordingPrompter prompter;

    EXPECT_EQ(kvr::SendErrorReport(nullptr, BinDir()), kvr::REPORT_NO_MAIL_CLIENT);

    ASSERT_EQ(prompter.questions.size(), 1u);
    EXPECT_EQ(prompter.questions[0].text, "Failed to establish a mail session.  " + ByHand(m_app));
    EXPECT_FALSE(fs::exists(Copy()));
}

TEST_F(ErrorReportTest, MailClientThatFailsIsAFailureAndTheCopyIsRemoved) {
    InstallMailClient(3);
    StoreAddress("support@kvr.example");
    RecordingPrompter prompter;

    EXPECT_EQ(kvr::SendErrorReport(nullptr, BinDir()), kvr::REPORT_SEND_FAILED);

    EXPECT_TRUE(fs::exists(Record("args")));
    ASSERT_EQ(prompter.questions.size(), 1u);
    EXPECT_EQ(prompter.questions[0].text, "Failed to establish a mail session.  " + ByHand(m_app));
    EXPECT_FALSE(fs::exists(Copy()));
}

TEST_F(ErrorReportTest, FailedCopyKeepsAnExistingFileAndSendsNothing) {
    InstallMailClient(0);
    StoreAddress("support@kvr.example");
    m_app.Write("debug_log.mdb", "an older report the user keeps");
    RecordingPrompter prompter(PromptAnswer::No);  // do not overwrite

    EXPECT_EQ(kvr::SendErrorReport(nullptr, BinDir()), kvr::REPORT_COPY_FAILED);

    ASSERT_EQ(prompter.questions.size(), 2u);
    EXPECT_EQ(prompter.questions[1].text, "Failed to backup database file.  " + ByHand(m_app));
    EXPECT_EQ(m_app.Read("debug_log.mdb"), "an older report the user keeps");
    EXPECT_FALSE(fs::exists(Record("args")));
}

TEST_F(ErrorReportTest, AddressThatIsNoEmailAddressIsRefused) {
    InstallMailClient(0);
    RecordingPrompter prompter;
    // Stored by hand, or typed into the input box.
    StoreAddress("--attach=/etc/shadow");
    EXPECT_EQ(kvr::SendErrorReport(nullptr, BinDir()), kvr::REPORT_BAD_ADDRESS);
    ASSERT_EQ(prompter.questions.size(), 1u);
    EXPECT_NE(prompter.questions[0].text.find("'--attach=/etc/shadow' is not a valid e-mail address"),
              std::string::npos);

    StoreAddress("support@kvr.example");
    EXPECT_EQ(kvr::SetSupportEmailAddress(Answer("two words@kvr.example")), "support@kvr.example");
    EXPECT_EQ(kvr::StoredSupportEmailAddress(), "support@kvr.example");
    EXPECT_FALSE(fs::exists(Record("args")));
    EXPECT_FALSE(fs::exists(Copy()));
}

TEST(ErrorReportPieces, ProgramLookupTakesOnlyExecutableFilesInAbsoluteDirectories) {
    TempAppDir app;
    for (const char* d : {"one", "two", "three"}) fs::create_directories(app.File(d));
    std::ofstream(app.File("one/tool")) << "not executable";
    fs::create_directories(app.File("two/tool"));  // a directory of that name
    std::ofstream(app.File("three/tool")) << "#!/bin/sh\n";
    ::chmod(app.File("three/tool").c_str(), 0755);

    const std::string list = "relative:" + app.File("one") + "::" + app.File("two") + ":" + app.File("three");
    EXPECT_EQ(kvr::FindProgramOnPath("tool", list), app.File("three/tool"));
    EXPECT_EQ(kvr::FindProgramOnPath("tool", app.File("one") + ":" + app.File("two")), "");
    EXPECT_EQ(kvr::FindProgramOnPath("three/tool", app.Path()), "");
    EXPECT_EQ(kvr::FindProgramOnPath("tool", ""), "");
}

TEST(ErrorReportPieces, StartedProgramKeepsNoDescriptorOfOursAndNeverHoldsUpTheCaller) {
    TempAppDir app;
    const std::string script = app.File("slow");
    std::ofstream(script) << "#!/bin/sh\nexec sleep 3 </dev/null >/dev/null 2>&1\n";
    ::chmod(script.c_str(), 0755);

    const kvr::RunOutcome slow = kvr::RunProgram(script, {}, 200);
    EXPECT_TRUE(slow.started);
    EXPECT_FALSE(slow.finished);

    // Descriptors of ours (sockets, database, lock) stay with us.
    const int fd = ::open(app.Path().c_str(), O_RDONLY);  // inheritable
    ASSERT_GE(fd, 3);
    const std::string probe = "test -e /proc/self/fd/" + std::to_string(fd);
    const kvr::RunOutcome inherited = kvr::RunProgram("/bin/sh", {"-c", probe}, 5000);
    ::close(fd);
    EXPECT_TRUE(inherited.finished);
    EXPECT_EQ(inherited.exitCode, 1);

    const kvr::RunOutcome missing = kvr::RunProgram(app.File("absent"), {}, 200);
    EXPECT_FALSE(missing.started);
    EXPECT_FALSE(missing.error.empty());
}

}  // namespace
