#pragma once
// The program's exit statuses: the one list that the program, --help, the
// manual page and the help pages describe. A script upgrading many sites
// tells the outcomes apart by these numbers alone.
#include <string>
#include <vector>

namespace kvr {

enum class ExitStatus : int {
    Ok = 0,                  // every device asked for runs the file's version, or nothing was to be done
    Failure = 1,             // could not start or run (output file, libraries, run stopped before its end)
    BadCommandLine = 2,      // unknown option, bad MAC, bad number, unwritable --json path
    FirmwareFileInvalid = 3, // the firmware file is missing, unreadable, a directory or not valid
    NoDevice = 4,            // no matching device was found
    SeveralDevices = 5,      // several devices fit and none was chosen with --match-mac
    Incompatible = 6,        // the device's hardware cannot take the file
    DownloadFailed = 7,      // the download did not go through
    NotBack = 8,             // the device did not come back running the file's version
    AlreadyRunning = 9,      // another instance of the program is running
    Refused = 10,            // the run refused the operation before anything was sent to a device
    NotRecorded = 11,        // history.log or the JSON record could not be written
};

inline int ToInt(ExitStatus s) { return static_cast<int>(s); }

struct ExitStatusDoc {
    ExitStatus status;
    const char* name;         // short word for JSON records ("download-failed")
    const char* description;  // one line for --help and the help pages
};

inline const std::vector<ExitStatusDoc>& ExitStatusDocs() {
    static const std::vector<ExitStatusDoc> docs = {
        {ExitStatus::Ok, "ok",
         "every device asked for now runs the file's version (or there was nothing to do, /I without a device)"},
        {ExitStatus::Failure, "failure", "the program could not start or run (no output file, libraries missing, the run was stopped)"},
        {ExitStatus::BadCommandLine, "bad-command-line",
         "unknown option, MAC that is not one, bad --retries number, unwritable --json file"},
        {ExitStatus::FirmwareFileInvalid, "file-invalid",
         "the firmware file is missing, unreadable, a directory or not a valid .qfw file"},
        {ExitStatus::NoDevice, "no-device", "no device matching the request was found (also: no network adapter)"},
        {ExitStatus::SeveralDevices, "several-devices", "several devices fit and none was chosen with --match-mac"},
        {ExitStatus::Incompatible, "incompatible", "the device's hardware cannot take the firmware file"},
        {ExitStatus::DownloadFailed, "download-failed", "the download into the device failed"},
        {ExitStatus::NotBack, "not-back",
         "the device did not come back running the file's firmware version after the download"},
        {ExitStatus::AlreadyRunning, "already-running", "another KVRinstaller is already running"},
        {ExitStatus::Refused, "refused",
         "the operation was refused before anything was sent (/B, /C unattended, a file whose configuration "
         "data an unattended run may not send)"},
        {ExitStatus::NotRecorded, "not-recorded",
         "could not record the run: history.log or the JSON record could not be written (the device outcomes "
         "are in whichever record could be written)"},
    };
    return docs;
}

inline const char* ExitStatusName(ExitStatus s) {
    for (const auto& d : ExitStatusDocs())
        if (d.status == s) return d.name;
    return "failure";
}

// Of two device outcomes, the one a fleet run reports: a failed download is
// worse than a device that came back with the old version, which is worse
// than a refused operation, an incompatible or a missing device, which are
// worse than success.
inline ExitStatus WorseOf(ExitStatus a, ExitStatus b) {
    auto rank = [](ExitStatus s) {
        switch (s) {
            case ExitStatus::Ok: return 0;
            case ExitStatus::NoDevice: return 1;
            case ExitStatus::Incompatible: return 2;
            case ExitStatus::Refused: return 3;
            case ExitStatus::NotBack: return 4;
            case ExitStatus::DownloadFailed: return 5;
            default: return 6;  // run-level failures outrank every device outcome
        }
    };
    return rank(b) > rank(a) ? b : a;
}

// "  0  every device ..." lines for --help.
inline std::string ExitStatusHelpText() {
    std::string text;
    for (const auto& d : ExitStatusDocs())
        text += "  " + std::to_string(ToInt(d.status)) + (ToInt(d.status) < 10 ? "  " : " ") + d.description + "\n";
    return text;
}

}  // namespace kvr
