#include "DataDirectory.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kvr {
namespace {

std::string g_dataDirectory;

const char* Env(const EnvLookup& env, const char* name) { return env ? env(name) : std::getenv(name); }

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Makes dir and its missing parents, each new one with mode 0700. False with
// the reason in *problem.
bool MakePrivateDirectories(const std::string& dir, std::string* problem) {
    std::string path;
    std::size_t pos = 0;
    while (pos < dir.size()) {
        const std::size_t next = dir.find('/', pos + 1);
        path = dir.substr(0, next);
        pos = next == std::string::npos ? dir.size() : next;
        if (path.empty() || IsDirectory(path)) continue;
        if (::mkdir(path.c_str(), 0700) != 0 && !(errno == EEXIST && IsDirectory(path))) {
            *problem = "cannot create '" + path + "': " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

}  // namespace

bool IsWritableDirectory(const std::string& dir) {
    struct stat st {};
    if (dir.empty() || ::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    return (st.st_mode & 0222) != 0 && ::access(dir.c_str(), W_OK | X_OK) == 0;
}

std::string UserDataDirectory(const EnvLookup& env) {
    // Relative values of the XDG variables are to be ignored.
    const char* xdg = Env(env, "XDG_DATA_HOME");
    if (xdg && xdg[0] == '/') return std::string(xdg) + "/" + kDataFolderName;
    std::string home;
    if (const char* h = Env(env, "HOME"); h && h[0] == '/') {
        home = h;
    } else {
        struct passwd pw {};
        struct passwd* found = nullptr;
        char buffer[4096];
        if (::getpwuid_r(::geteuid(), &pw, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir &&
            found->pw_dir[0] == '/')
            home = found->pw_dir;
    }
    if (home.empty()) return {};
    return home + "/.local/share/" + kDataFolderName;
}

DataDirectoryChoice ChooseDataDirectory(const std::string& appDirectory, const EnvLookup& env) {
    DataDirectoryChoice choice;
    if (IsWritableDirectory(appDirectory)) {
        choice.path = appDirectory;
        return choice;
    }
    choice.beside = false;
    const std::string dir = UserDataDirectory(env);
    if (dir.empty()) {
        choice.problem = "the application directory '" + appDirectory +
                         "' is read-only and neither XDG_DATA_HOME nor HOME names a directory for the program's files";
        return choice;
    }
    std::string problem;
    if (!MakePrivateDirectories(dir, &problem)) {
        choice.problem = problem;
    } else if (!IsWritableDirectory(dir)) {
        choice.problem = "the directory '" + dir + "' for the program's files cannot be written";
    }
    if (!choice.problem.empty()) {
        choice.problem += " (the application directory '" + appDirectory +
                          "' is read-only; set XDG_DATA_HOME to a writable directory)";
        return choice;
    }
    choice.path = dir;
    return choice;
}

void SetDataDirectory(const std::string& dir) { g_dataDirectory = dir; }

const std::string& DataDirectory() { return g_dataDirectory; }

std::string DataFilePath(const std::string& name, const std::string& fallbackDirectory) {
    const std::string& dir = g_dataDirectory.empty() ? fallbackDirectory : g_dataDirectory;
    return dir + "/" + name;
}

}  // namespace kvr
