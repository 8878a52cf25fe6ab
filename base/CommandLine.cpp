#include "CommandLine.h"

#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

#include "Seams.h"

extern char** environ;

namespace kvr {

namespace {

std::string WithoutQuotes(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s)
        if (c != '"') out += c;
    return out;
}

std::string Quoted(const std::string& s) { return "\"" + WithoutQuotes(s) + "\""; }

bool IsLetter(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }

}  // namespace

bool IsSwitchArgument(const std::string& arg) {
    if (arg.size() == 2 && arg[0] == '/' && IsLetter(arg[1])) return true;
    return arg.size() > 2 && arg[0] == '-' && arg[1] == '-' && IsLetter(arg[2]);
}

std::string JoinCommandLine(const std::vector<std::string>& args) {
    std::string line;
    for (const std::string& arg : args) {
        std::string piece;
        if (IsSwitchArgument(arg)) {
            std::size_t eq = arg.find('=');
            if (arg[0] == '-' && eq != std::string::npos)
                piece = WithoutQuotes(arg.substr(0, eq)) + " " + Quoted(arg.substr(eq + 1));
            else
                piece = WithoutQuotes(arg);
        } else {
            piece = Quoted(arg);
        }
        if (!line.empty()) line += ' ';
        line += piece;
    }
    return line;
}

std::string JoinCommandLine(int argc, const char* const* argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc && argv; ++i)
        if (argv[i]) args.emplace_back(argv[i]);
    return JoinCommandLine(args);
}

std::string ResolveCommandLinePath(const std::string& fileName, const std::string& startDirectory) {
    if (fileName.empty()) return {};
    if (fileName[0] == '/') return fileName;
    std::string dir = startDirectory;
    if (dir.empty()) {
        std::error_code ec;
        dir = std::filesystem::current_path(ec).string();
    }
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    if (dir.empty() || dir.back() != '/') dir += '/';
    return dir + fileName;
}

int StartProgram(const std::string& path, const std::vector<std::string>& argv, pid_t& pid) {
    std::vector<char*> cargv;
    cargv.reserve(argv.size() + 1);
    for (const std::string& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    const int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, cargv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc;
}

bool SpawnProgram(const std::vector<std::string>& argv, bool wait, int* exitCode, std::string* error) {
    if (argv.empty() || argv[0].empty()) {
        if (error) *error = "no program given";
        return false;
    }
    pid_t pid = 0;
    const int rc = StartProgram(argv[0], argv, pid);
    if (rc != 0) {
        if (error) *error = std::string(std::strerror(rc));
        return false;
    }
    if (!wait) {
        // Nobody waits for it: reap it in the background so it leaves no zombie.
        std::thread([pid] {
            int st = 0;
            while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
            }
        }).detach();
        return true;
    }

    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    int status = 0;
    for (;;) {
        CurrentEventPump().DoEvents();
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) break;
        if (r < 0 && errno != EINTR) {
            if (pidfd >= 0) close(pidfd);
            if (error) *error = std::string("waitpid: ") + std::strerror(errno);
            return false;
        }
        if (pidfd >= 0) {
            pollfd p{pidfd, POLLIN, 0};
            poll(&p, 1, 100);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    if (pidfd >= 0) close(pidfd);
    if (exitCode) {
        if (WIFEXITED(status))
            *exitCode = WEXITSTATUS(status);
        else if (WIFSIGNALED(status))
            *exitCode = 128 + WTERMSIG(status);
        else
            *exitCode = -1;
    }
    return true;
}

}  // namespace kvr
