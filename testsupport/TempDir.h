#pragma once
// A private temporary directory, removed with everything in it (its owner's
// rights given back first, so a test that took them away still cleans up).
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

class TempDir {
public:
    explicit TempDir(const std::string& prefix = "kvrtest") {
        std::string tmpl = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        if (char* p = ::mkdtemp(tmpl.data())) m_path = p;
    }
    ~TempDir() {
        if (m_path.empty()) return;
        std::error_code ec;
        std::filesystem::permissions(m_path, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    // Empty when the directory could not be made.
    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return (std::filesystem::path(m_path) / name).string(); }
    // Writes the file (and the directories above it); returns its path.
    std::string Write(const std::string& name, const std::string& bytes) const {
        std::filesystem::create_directories(std::filesystem::path(File(name)).parent_path());
        std::ofstream(File(name), std::ios::binary) << bytes;
        return File(name);
    }
    std::string Write(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
        return Write(name, std::string(bytes.begin(), bytes.end()));
    }
    std::string Read(const std::string& name) const {
        std::ifstream in(File(name), std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

private:
    std::string m_path;
};

// Points the segment root at a fresh directory for the lifetime of the object.
class SegmentRootScope {
public:
    SegmentRootScope() {
        if (m_dir.Path().empty()) std::abort();  // never segments outside a directory of our own
        ::setenv("KVR_SEGMENT_DIR", Root().c_str(), 1);
    }
    ~SegmentRootScope() { ::unsetenv("KVR_SEGMENT_DIR"); }
    std::string Root() const { return m_dir.Path() + "/segments"; }

private:
    TempDir m_dir{"kvrsupp"};
};
