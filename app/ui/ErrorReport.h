#pragma once
// The error report: a copy of the status database sent to the support
// address with the desktop's mail client (xdg-email), and the support address
// setting it goes to. Plain C++: questions go through the Prompter seam, the
// input box through a callback, waits through the Clock and EventPump seams.
//
// The mail client is started directly with an argument list (never through a
// shell), so an address or a path with shell or option characters reaches it
// as one argument and is never interpreted.
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kvr {

// Asks for a text: prompt, title and default give the answer, or nullopt when
// the user cancels.
using InputBoxFn =
    std::function<std::optional<std::string>(const std::string& prompt, const std::string& title,
                                             const std::string& defaultText)>;

// Results of SendErrorReport.
enum ErrorReportResult : long {
    REPORT_SENT = 0,
    REPORT_NO_ADDRESS = 1,       // no support address (the user answered No or gave none)
    REPORT_BAD_ADDRESS = 2,      // the address is not an e-mail address
    REPORT_NO_MAIL_CLIENT = 3,   // no mail session: the mail client is missing
    REPORT_COPY_FAILED = 4,      // the copy of the database could not be made
    REPORT_SEND_FAILED = 5,      // the mail client could not be started or failed
};

// The program that composes the mail, looked up on PATH.
inline constexpr const char* kMailClient = "xdg-email";
// The copy of the database that is attached, beside the database (DataDirectory.h).
inline constexpr const char* kReportCopyName = "debug_log.mdb";
// How long the report waits for the mail client to hand the mail over.
inline constexpr long kMailClientWaitMs = 120000;

// True for something that can be an e-mail address: local part "@" domain,
// no white space or control characters, not starting with '-' (which the mail
// client would take for an option).
bool IsUsableEmailAddress(const std::string& address);

// The full path of an executable file `program` in the ':'-separated
// directory list `pathList` (empty entries mean the current directory and are
// skipped); "" when there is none.
std::string FindProgramOnPath(const std::string& program, const std::string& pathList);

// The mail client's arguments after its name: subject, attachment, address,
// each one argument.
std::vector<std::string> MailClientArguments(const std::string& subject, const std::string& attachment,
                                             const std::string& address);

// Outcome of running a program.
struct RunOutcome {
    bool started = false;   // the program could be started
    bool finished = false;  // it ended within the time given
    int exitCode = -1;      // its exit status when it ended normally (-1 otherwise)
    std::string error;      // why it could not be started
};
// Starts `path` with argv[0] = the file name of path and then `args` (no
// shell), and waits up to timeoutMs for it to end, letting window events run.
// A program still running then is left running and reaped later.
RunOutcome RunProgram(const std::string& path, const std::vector<std::string>& args, long timeoutMs);

// The stored support address (setting SupportEmailAddress, trimmed); "" when
// there is none or no database.
std::string StoredSupportEmailAddress();

// Asks for the support address (texts 4301, 4302, the stored address as
// default) and stores a non-empty answer. Returns the address now in force
// ("" when there is none). An answer that is not an e-mail address is
// refused with a message and nothing is stored.
std::string SetSupportEmailAddress(const InputBoxFn& inputBox);

// Sends the status database to the support address. `mailPath` is the PATH
// list the mail client is looked up in (nullopt: the environment's PATH).
// Every failure is shown to the user with the path of db1.mdb, so the file can
// be sent by hand. Returns an ErrorReportResult.
long SendErrorReport(const InputBoxFn& inputBox, const std::optional<std::string>& mailPath = std::nullopt);

}  // namespace kvr
