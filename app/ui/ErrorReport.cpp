#include "ErrorReport.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "CommandLine.h"
#include "DataDirectory.h"
#include "Globals.h"
#include "Seams.h"
#include "basDebug.h"
#include "basUtils.h"
#include "LibraryLoader.h"
#include "Text.h"
#include "clsDbManager.h"

namespace kvr {
namespace {

const ModuleLog Log("frmHelp");

std::string AppDirectory() { return G().AppDirectory.empty() ? ExecutableDirectory() : G().AppDirectory; }

std::string DatabaseFile() {
    const clsDbManager* db = clsDbManager::Current();
    return db ? db->DatabasePath() : DataFilePath("db1.mdb", AppDirectory());
}

// Mail clients that outlived their wait; reaped at the next run.
std::vector<pid_t>& Pending() {
    static std::vector<pid_t> pending;
    return pending;
}

void ReapPending() {
    auto& pending = Pending();
    for (auto it = pending.begin(); it != pending.end();) {
        int status = 0;
        const pid_t r = ::waitpid(*it, &status, WNOHANG);
        if (r == 0) {
            ++it;
        } else {
            it = pending.erase(it);
        }
    }
}

void ShowFailure(const std::string& text) {
    Log(text, LEVEL_ERROR, "SendErrorReport");
    CurrentPrompter().Ask(text, kProgramTitle, PromptButtons::OK, PromptIcon::Critical);
}

// A failure text followed by the request to send db1.mdb by hand.
void ShowFailureWithDatabasePath(long textId, const char* fallback) {
    const std::string byHand = ReplaceAll(
        LoadResStringWrapper(4304, "Please send the file '%Filename%' to the proper support personnel."),
        "%Filename%", DatabaseFile());
    ShowFailure(LoadResStringWrapper(textId, fallback) + "  " + byHand);
}

void ShowBadAddress(const std::string& address) {
    ShowFailure("The support e-mail address '" + address + "' is not a valid e-mail address.");
}

}  // namespace

bool IsUsableEmailAddress(const std::string& address) {
    if (address.empty() || address.front() == '-') return false;
    for (const unsigned char c : address) {
        if (c <= 0x20 || c == 0x7F) return false;
    }
    const auto at = address.rfind('@');
    return at != std::string::npos && at > 0 && at + 1 < address.size();
}

std::string FindProgramOnPath(const std::string& program, const std::string& pathList) {
    if (program.empty() || program.find('/') != std::string::npos) return {};
    std::size_t start = 0;
    while (start <= pathList.size()) {
        std::size_t end = pathList.find(':', start);
        if (end == std::string::npos) end = pathList.size();
        const std::string dir = pathList.substr(start, end - start);
        start = end + 1;
        // A relative entry would make the result depend on the current directory.
        if (dir.empty() || dir.front() != '/') continue;
        const std::string candidate = dir + "/" + program;
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

std::vector<std::string> MailClientArguments(const std::string& subject, const std::string& attachment,
                                             const std::string& address) {
    return {"--subject", subject, "--attach", attachment, address};
}

RunOutcome RunProgram(const std::string& path, const std::vector<std::string>& args, long timeoutMs) {
    RunOutcome out;
    ReapPending();
    std::vector<std::string> argv{std::filesystem::path(path).filename().string()};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_t pid = -1;
    const int rc = StartProgram(path, argv, pid);
    if (rc != 0) {
        out.error = std::strerror(rc);
        return out;
    }
    out.started = true;

    Clock& clock = CurrentClock();
    const std::int64_t start = clock.NowMs();
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            out.finished = true;
            out.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return out;
        }
        if (r < 0 && errno != EINTR) {
            // Someone else reaped it: it has ended, with an unknown status.
            out.finished = true;
            out.error = std::strerror(errno);
            return out;
        }
        if (clock.NowMs() - start >= timeoutMs) break;
        CurrentEventPump().DoEvents();
        clock.SleepMs(20);
    }
    Pending().push_back(pid);
    return out;
}

std::string StoredSupportEmailAddress() {
    if (!G().DbManager) return {};
    return Trim(G().DbManager->GetSetting(kProgramTitle, "Settings", "SupportEmailAddress", ""), " \t\r\n");
}

std::string SetSupportEmailAddress(const InputBoxFn& inputBox) {
    const std::string current = StoredSupportEmailAddress();
    if (!inputBox) return current;
    const std::optional<std::string> answer =
        inputBox(LoadResStringWrapper(4301, "Enter the default support e-mail address:"),
                 LoadResStringWrapper(4302, "Support E-mail"), current);
    const std::string address = answer ? Trim(*answer, " \t\r\n") : std::string();
    if (address.empty()) return current;
    if (!IsUsableEmailAddress(address)) {
        ShowBadAddress(address);
        return current;
    }
    if (clsDbManager* db = clsDbManager::Current()) db->SaveSetting(kProgramTitle, "Settings", "SupportEmailAddress", address);
    if (StoredSupportEmailAddress() != address) {
        // Read-only or missing database: the address serves this run only.
        Log("the support address could not be stored; it is used for this run only.", LEVEL_WARNING,
            "SetSupportEmailAddress");
    }
    Log("support address set to '" + address + "'.", LEVEL_TRACE, "SetSupportEmailAddress");
    return address;
}

long SendErrorReport(const InputBoxFn& inputBox, const std::optional<std::string>& mailPath) {
    const std::string title = kProgramTitle;

    // The address, asked for when there is none.
    std::string address = StoredSupportEmailAddress();
    if (address.empty()) {
        const std::string question = LoadResStringWrapper(
            4300,
            "The support e-mail address is currently blank.  Would you like to add a default support e-mail address?");
        if (CurrentPrompter().Ask(question, title, PromptButtons::YesNo, PromptIcon::Question) != PromptAnswer::Yes) {
            Log("no support address; nothing was sent.", LEVEL_WARNING, "SendErrorReport");
            return REPORT_NO_ADDRESS;
        }
        address = SetSupportEmailAddress(inputBox);
        if (address.empty()) {
            Log("no support address; nothing was sent.", LEVEL_WARNING, "SendErrorReport");
            return REPORT_NO_ADDRESS;
        }
    }
    if (!IsUsableEmailAddress(address)) {
        ShowBadAddress(address);
        return REPORT_BAD_ADDRESS;
    }

    // The mail session: the desktop's mail client.
    std::string pathList;
    if (mailPath) {
        pathList = *mailPath;
    } else {
        const char* env = std::getenv("PATH");
        pathList = env ? env : "/usr/local/bin:/usr/bin:/bin";
    }
    const std::string client = FindProgramOnPath(kMailClient, pathList);
    if (client.empty()) {
        Log(std::string("no mail client '") + kMailClient + "' found on the path.", LEVEL_ERROR, "SendErrorReport");
        ShowFailureWithDatabasePath(4305, "Failed to establish a mail session.");
        return REPORT_NO_MAIL_CLIENT;
    }

    // The copy of the database.
    const std::string copy = DataFilePath(kReportCopyName, AppDirectory());
    clsDbManager* db = clsDbManager::Current();
    if (!db || db->MakeCopy(copy) != 0) {
        ShowFailureWithDatabasePath(4303, "Failed to backup database file.");
        return REPORT_COPY_FAILED;
    }

    // Compose and hand over; the copy goes once the mail client has it.
    const RunOutcome run = RunProgram(client, MailClientArguments(title + " - Debug Log", copy, address),
                                      kMailClientWaitMs);
    std::error_code ec;
    if (!run.started || (run.finished && run.exitCode != 0)) {
        std::filesystem::remove(copy, ec);
        Log("mail client '" + client + "' " +
                (run.started ? "ended with status " + std::to_string(run.exitCode) : "could not start: " + run.error) +
                ".",
            LEVEL_ERROR, "SendErrorReport");
        ShowFailureWithDatabasePath(4305, "Failed to establish a mail session.");
        return REPORT_SEND_FAILED;
    }
    if (!run.finished) {
        Log("the mail client is still composing; '" + copy + "' is kept for it.", LEVEL_WARNING, "SendErrorReport");
        return REPORT_SENT;
    }
    std::filesystem::remove(copy, ec);
    Log("error report for '" + address + "' handed to the mail client.", LEVEL_USER, "SendErrorReport");
    return REPORT_SENT;
}

}  // namespace kvr
