#include "CommandLineFuzzBody.h"

#include <string>
#include <vector>

#include "CommandLine.h"
#include "Globals.h"
#include "basAutomation.h"

namespace automationfuzz {

bool RunOne(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    G().AutomationMode = false;
    G().StartDirectory = "/nonexistent-start";
    basAutomation::State() = basAutomation::AutomationState{};

    std::vector<std::string> args, errs;
    if (basAutomation::ProcessCommandLine(text, args, errs) != 0) return false;
    // Entry 0 of both lists stays empty.
    if (args.empty() || !args[0].empty() || errs.empty() || !errs[0].empty()) return false;

    std::vector<std::string> argv;
    std::string cur;
    for (char c : text) {
        if (c == '\0') {
            argv.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    argv.push_back(cur);
    const std::string joined = kvr::JoinCommandLine(argv);
    if (basAutomation::ProcessCommandLine(joined, args, errs) != 0) return false;
    // A joined argv that starts with an option never has an unmatched quote:
    // every value is quoted whole, so the parser never starts inside quotes.
    if (!joined.empty() && joined[0] == '"') return true;
    for (std::size_t i = 1; i < errs.size(); ++i)
        if (errs[i] == "Command Line Error: Begin quotation with no matching end quotation!") return false;
    return true;
}

}  // namespace automationfuzz
