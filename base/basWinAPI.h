#pragma once
// File tests and the user's language.
#include <cstdint>
#include <string>

// True when an entry (file or folder) exists at path. Every '*' is first
// removed from the path, also in the caller's string. The attributes argument
// is accepted and ignored.
bool FileExists(std::string& path, long attributes = 0);
// The same without removing '*'.
bool PathExists(const std::string& path, long attributes = 0);

// A file's size as high and low 32-bit halves; both -1 when nothing is found.
struct FileSize64 {
    std::int32_t High = -1;
    std::int32_t Low = -1;
    bool Found() const { return !(High == -1 && Low == -1); }
    std::uint64_t Bytes() const {
        return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(High)) << 32) | static_cast<std::uint32_t>(Low);
    }
};
FileSize64 GetFileSize64(const std::string& path);

// The English name of the user's language ("English", "German", ...) from the
// locale environment (LC_ALL, LC_MESSAGES, LANG); "English" when no language is
// set (C/POSIX), empty for a language this program does not know by name.
std::string GetLocalLanguage();
