#include "CommandLineHelp.h"

#include "ExitStatus.h"
#include "Globals.h"
#include "basAutomation.h"

#ifndef KVR_VERSION_TEXT
#define KVR_VERSION_TEXT "0.0.0"
#endif

namespace kvr {

std::vector<doc::OptionDoc> ProgramOptionDocs() {
    std::vector<doc::OptionDoc> docs;
    const auto& table = basAutomation::Options();
    for (std::size_t i = 1; i < table.size(); ++i) {
        const auto& o = table[i];
        docs.push_back({std::string("/") + o.ShortForm, o.LongForm, o.Value, o.Description});
    }
    docs.push_back({"-h", "--help", "", "Print this help and exit without opening a window."});
    docs.push_back({"", "--version", "", "Print the program's version and exit."});
    return docs;
}

std::string HelpText() {
    return std::string("Usage: ") + kProgramTitle + " [OPTION]...\n" +
           "Finds Zarn Adapters (KVR) on every Ethernet adapter, lists them, edits their wireless\n"
           "profiles and upgrades their firmware. With /D the upgrade runs from the command line,\n"
           "with /U without anybody at the screen.\n\n"
           "Options (a value follows its option after a blank; letters in either case):\n" +
           doc::OptionsAsText(ProgramOptionDocs()) +
           "\nEnvironment:\n"
           "  KVR_ADAPTERS      virtual: search only the virtual segments; real: only the\n"
           "                    machine's network interfaces; unset: both\n"
           "  KVR_SEGMENT_DIR   directory of the virtual Ethernet segments (for kvrsim)\n"
           "  XDG_DATA_HOME     the program's files go to $XDG_DATA_HOME/kvr-installer when\n"
           "                    its own directory is read-only (default ~/.local/share)\n"
           "\nFiles: db1.mdb (settings and status log), history.log (record of an automated run),\n"
           "beside the program when its directory is writable, else in the directory above.\n"
           "\nExit status (for several devices the worst of their outcomes):\n" + ExitStatusHelpText() +
           "\nSee the manual page KVRinstaller(1) and the help pages (F1).\n";
}

std::string VersionText() { return std::string(kProgramTitle) + " " + KVR_VERSION_TEXT + "\n"; }

std::optional<int> RunInformationOption(const std::vector<std::string>& args, std::FILE* out) {
    std::optional<std::string> text;
    for (const std::string& a : args) {
        if (a == "--help" || a == "-h" || a == "/?") {
            text = HelpText();
            break;
        }
        if (a == "--version" && !text) text = VersionText();
    }
    if (!text) return std::nullopt;
    const bool written = std::fputs(text->c_str(), out) >= 0 && std::fflush(out) == 0;
    return written ? 0 : 1;
}

}  // namespace kvr
