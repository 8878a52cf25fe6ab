#include "DataDirectory.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace kvr {
namespace {

std::string g_dataDirectory;
FileStepHook g_fileStepHook;

// Runs the hook for a step; the errno it injects, else 0.
int Injected(FileStep step, const std::string& path) { return g_fileStepHook ? g_fileStepHook(step, path) : 0; }

int Fail(std::string& problem, int err, const std::string& what, const std::string& path) {
    problem = "cannot " + what + " '" + path + "': " + std::strerror(err);
    return err;
}

std::string ParentDirectory(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// fsync of a file or directory opened read-only.
int SyncPath(FileStep step, const std::string& path, int flags) {
    if (const int err = Injected(step, path)) return err;
    const int fd = ::open(path.c_str(), flags | O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    const int err = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return err;
}

// Renames and flushes the directory; the steps shared by the copy and the move.
int RenameAndFlush(const std::string& from, const std::string& to, std::string& problem) {
    int err = Injected(FileStep::Rename, from);
    if (!err && ::rename(from.c_str(), to.c_str()) != 0) err = errno;
    if (err) return Fail(problem, err, "rename '" + from + "' to", to);
    // The rename is done; a directory that cannot be flushed only means that
    // a power cut might still undo it.
    const std::string dir = ParentDirectory(to);
    if ((err = SyncPath(FileStep::FlushDirectory, dir, O_DIRECTORY)) != 0) return Fail(problem, err, "flush", dir);
    return 0;
}

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

void SetFileStepHook(FileStepHook hook) { g_fileStepHook = std::move(hook); }

int CopyFileWhole(const std::string& source, const std::string& target, std::string& problem) {
    const std::string part = target + ".part";
    const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return Fail(problem, errno, "read", source);
    int err = Injected(FileStep::Create, part);
    const int out = err ? -1 : ::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
        if (!err) err = errno;
        ::close(in);
        return Fail(problem, err, "create", part);
    }
    std::string what = "write";
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            err = errno;
            what = "read " + source + " into";
            break;
        }
        if (n == 0) break;
        for (ssize_t done = 0; done < n && !err;) {
            if ((err = Injected(FileStep::Write, part)) != 0) break;
            const ssize_t w = ::write(out, buffer + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno != EINTR) err = errno;
            if (w > 0) done += w;
        }
        if (err) break;
    }
    ::close(in);
    if (!err) {
        what = "flush";
        if ((err = Injected(FileStep::Flush, part)) == 0 && ::fsync(out) != 0) err = errno;
    }
    if (!err) {
        what = "close";
        err = Injected(FileStep::Close, part);
    }
    if (::close(out) != 0 && !err) err = errno;
    if (err) {
        ::unlink(part.c_str());
        return Fail(problem, err, what, part);
    }
    if ((err = RenameAndFlush(part, target, problem)) != 0) {
        // Nothing half-made stays behind: neither the part file nor, when
        // only the directory could not be flushed, the new target.
        if (::unlink(part.c_str()) != 0) ::unlink(target.c_str());
    }
    return err;
}

int MoveFileWhole(const std::string& from, const std::string& to, std::string& problem) {
    if (const int err = SyncPath(FileStep::Flush, from, 0)) return Fail(problem, err, "flush", from);
    return RenameAndFlush(from, to, problem);
}

std::string SetFileAside(const std::string& path, std::string& problem) {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
    for (int n = 1; n < 1000; ++n) {
        const std::string aside = path + ".bad-" + stamp + (n > 1 ? "-" + std::to_string(n) : std::string());
        // Free only when neither the name nor its companions are taken.
        bool taken = false;
        for (const char* suffix : {"", "-wal", "-shm"})
            if (::access((aside + suffix).c_str(), F_OK) == 0) taken = true;
        if (taken) continue;
        for (const char* suffix : {"", "-wal", "-shm"}) {
            const std::string from = path + suffix;
            if (::access(from.c_str(), F_OK) != 0) continue;
            const std::string to = aside + suffix;
            // A file system that cannot refuse to replace has had the name
            // tested above.
            if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0 &&
                (errno != EINVAL || ::rename(from.c_str(), to.c_str()) != 0)) {
                Fail(problem, errno, "rename '" + from + "' to", to);
                return {};
            }
        }
        return aside;
    }
    problem = "no free name to set '" + path + "' aside";
    return {};
}

void SetDataDirectory(const std::string& dir) { g_dataDirectory = dir; }

const std::string& DataDirectory() { return g_dataDirectory; }

std::string DataFilePath(const std::string& name, const std::string& fallbackDirectory) {
    const std::string& dir = g_dataDirectory.empty() ? fallbackDirectory : g_dataDirectory;
    return dir + "/" + name;
}

}  // namespace kvr
