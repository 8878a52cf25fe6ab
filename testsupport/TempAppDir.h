#pragma once
// A private application directory for one test: created with mkdtemp, made
// the program's AppDirectory, removed again afterwards.
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "Globals.h"

namespace kvr::test {

class TempAppDir {
public:
    TempAppDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "kvr-app-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) std::abort();
        m_path = tmpl;
        G().AppDirectory = m_path;
    }
    ~TempAppDir() {
        std::error_code ec;
        std::filesystem::permissions(m_path, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(m_path, ec);
        G().AppDirectory.clear();
    }
    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return (std::filesystem::path(m_path) / name).string(); }
    void CopyTemplate() const {
        std::filesystem::copy_file(std::string(KVR_BUNDLE_DIR) + "/db1_clean.mdb", File("db1_clean.mdb"));
    }
    void Write(const std::string& name, const std::string& bytes) const {
        std::filesystem::create_directories(std::filesystem::path(File(name)).parent_path());
        std::ofstream(File(name), std::ios::binary) << bytes;
    }
    std::string Read(const std::string& name) const {
        std::ifstream in(File(name), std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

private:
    std::string m_path;
};

// Runs fn in a child process as the user nobody with the one group nogroup
// (root's supplementary groups dropped too, so file permissions apply); returns
// the child's exit status: fn's result, 100 when the rights could not be given up.
inline int RunUnprivilegedStatus(const std::function<int()>& fn) {
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        const gid_t group = 65534;
        if (geteuid() == 0 && (setgroups(1, &group) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) _exit(100);
        _exit(fn());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The same for fn that tells success; true when the child ran fn without a failed expectation.
inline bool RunUnprivileged(const std::function<bool()>& fn) {
    return RunUnprivilegedStatus([&] { return fn() ? 0 : 1; }) == 0;
}

}  // namespace kvr::test
