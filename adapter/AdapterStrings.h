#pragma once
// Numbered texts of the adapter layer and the pool refresh ("WEP Enabled",
// the 1101-1104 messages).
#include <functional>
#include <string>

namespace kvr {
// The text with this identifier in the user's language. Default: the
// program's built-in strings; start-up installs the string-table lookup.
std::string AdapterString(long id);
void SetAdapterStringLookup(std::function<std::string(long)> lookup);  // empty = built-in
}  // namespace kvr
