#include "basWinAPI.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "Text.h"

namespace {

bool EntryExists(const std::string& path) {
    if (path.empty()) return false;
    std::error_code ec;
    // A dangling symbolic link is still an entry of its directory.
    return std::filesystem::symlink_status(path, ec).type() != std::filesystem::file_type::not_found && !ec;
}

struct LanguageName {
    const char* code;
    const char* name;
};
constexpr LanguageName kLanguages[] = {
    {"ar", "Arabic"},    {"bg", "Bulgarian"},  {"ca", "Catalan"},   {"cs", "Czech"},     {"da", "Danish"},
    {"de", "German"},    {"el", "Greek"},      {"en", "English"},   {"es", "Spanish"},   {"et", "Estonian"},
    {"fi", "Finnish"},   {"fr", "French"},     {"he", "Hebrew"},    {"hr", "Croatian"},  {"hu", "Hungarian"},
    {"is", "Icelandic"}, {"it", "Italian"},    {"ja", "Japanese"},  {"ko", "Korean"},    {"lt", "Lithuanian"},
    {"lv", "Latvian"},   {"nb", "Norwegian"},  {"nl", "Dutch"},     {"nn", "Norwegian"}, {"no", "Norwegian"},
    {"pl", "Polish"},    {"pt", "Portuguese"}, {"ro", "Romanian"},  {"ru", "Russian"},   {"sk", "Slovak"},
    {"sl", "Slovenian"}, {"sr", "Serbian"},    {"sv", "Swedish"},   {"th", "Thai"},      {"tr", "Turkish"},
    {"uk", "Ukrainian"}, {"vi", "Vietnamese"}, {"zh", "Chinese"},
};

}  // namespace

bool FileExists(std::string& path, long /*attributes*/) {
    path.erase(std::remove(path.begin(), path.end(), '*'), path.end());
    return EntryExists(path);
}

bool PathExists(const std::string& path, long /*attributes*/) { return EntryExists(path); }

FileSize64 GetFileSize64(const std::string& path) {
    FileSize64 r;
    if (!EntryExists(path)) return r;
    std::error_code ec;
    std::uint64_t size = 0;
    if (std::filesystem::is_regular_file(path, ec)) {
        size = std::filesystem::file_size(path, ec);
        if (ec) return r;
    }
    r.High = static_cast<std::int32_t>(static_cast<std::uint32_t>(size >> 32));
    r.Low = static_cast<std::int32_t>(static_cast<std::uint32_t>(size));
    return r;
}

std::string GetLocalLanguage() {
    const char* value = nullptr;
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = std::getenv(var);
        if (v && *v) {
            value = v;
            break;
        }
    }
    if (!value) return "English";
    std::string code = kvr::Lower(value);
    const auto cut = code.find_first_of("_.@");
    if (cut != std::string::npos) code.erase(cut);
    if (code == "c" || code == "posix") return "English";
    for (const auto& l : kLanguages)
        if (code == l.code) return l.name;
    return "";
}
