#pragma once
// --help and --version: what they print, made from the option table of
// basAutomation, and the check that runs them before anything else starts
// (no window, no database, no lock).
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "OptionDoc.h"

namespace kvr {

// Every option of the program in table order, then --help and --version.
std::vector<doc::OptionDoc> ProgramOptionDocs();

// The text of --help: usage, the options, environment, files, exit status.
std::string HelpText();
// "KVRinstaller 1.0.0\n".
std::string VersionText();

// When the arguments hold --help (-h, /?) or --version, prints its text to
// `out` and returns the exit status 0 (1 when writing failed); nullopt otherwise.
std::optional<int> RunInformationOption(const std::vector<std::string>& args, std::FILE* out);

}  // namespace kvr
