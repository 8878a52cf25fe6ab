// Fuzzes the command-line parser: arbitrary text through ProcessCommandLine,
// and arbitrary argument lists through the argv joining and back through the
// parser. Nothing may crash, hang or read out of bounds, and the parser's
// result lists must keep their empty entry 0.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Globals.h"
#include "basAutomation.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    G().AutomationMode = false;
    G().StartDirectory = "/nonexistent-start";
    basAutomation::State() = basAutomation::AutomationState{};

    std::vector<std::string> args, errs;
    if (basAutomation::ProcessCommandLine(text, args, errs) != 0) std::abort();
    if (args.empty() || !args[0].empty() || errs.empty() || !errs[0].empty()) std::abort();

    // The same bytes as an argv, split at NUL characters.
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
    basAutomation::ProcessCommandLine(joined, args, errs);
    // A joined argv that starts with an option never has an unmatched quote:
    // every value is quoted whole, so the parser never starts inside quotes.
    if (!joined.empty() && joined[0] == '"') return 0;
    for (std::size_t i = 1; i < errs.size(); ++i)
        if (errs[i] == "Command Line Error: Begin quotation with no matching end quotation!") std::abort();
    return 0;
}
