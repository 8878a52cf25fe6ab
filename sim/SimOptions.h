#pragma once
// kvrsim's command-line options: the one table its --help and its manual
// page are made from.
#include <string>
#include <vector>

#include "OptionDoc.h"

namespace kvr::sim {

std::vector<doc::OptionDoc> SimOptionDocs();

// The text of --help (usage, options, commands, device keys, firmware file fields).
std::string SimUsage();

}  // namespace kvr::sim
