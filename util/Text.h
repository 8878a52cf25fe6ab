#pragma once
// Small text routines the layers above share: trimming, ASCII case, replacing.
// Pure functions, no state, no locale.
#include <string>
#include <string_view>

namespace kvr {

// The blanks std::isspace knows in the "C" locale.
inline constexpr std::string_view kWhitespace = " \t\n\v\f\r";

// s without the leading and trailing characters found in blanks.
std::string Trim(std::string_view s, std::string_view blanks = kWhitespace);

// ASCII letters in upper (lower) case; every other byte stays as it is.
std::string Upper(std::string s);
std::string Lower(std::string s);

// text with every occurrence of what replaced by with, left to right; the
// replacement is not searched again. An empty what changes nothing.
std::string ReplaceAll(std::string text, std::string_view what, std::string_view with);

}  // namespace kvr
