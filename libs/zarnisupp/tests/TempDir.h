#pragma once
// A private temporary directory, removed with everything in it.
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

class TempDir {
public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "kvrsupp-XXXXXX").string();
        if (char* p = ::mkdtemp(tmpl.data())) m_path = p;
    }
    ~TempDir() {
        std::error_code ec;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

// Points the segment root at a fresh directory for the lifetime of the object.
class SegmentRootScope {
public:
    SegmentRootScope() { ::setenv("KVR_SEGMENT_DIR", (m_dir.Path() + "/segments").c_str(), 1); }
    ~SegmentRootScope() { ::unsetenv("KVR_SEGMENT_DIR"); }
    std::string Root() const { return m_dir.Path() + "/segments"; }

private:
    TempDir m_dir;
};
