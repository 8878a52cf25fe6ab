#include "HelperLink.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "HelperProtocol.h"

namespace kvr::zs {
namespace {

// A reply that takes longer than this means the helper hangs.
constexpr int kReplyTimeoutMs = 5000;

// A descriptor above the standard ones and the helper's two, so that moving it
// into place in the child always clears close-on-exec.
int Lifted(int fd) {
    const int lifted = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
    ::close(fd);
    return lifted;
}

void Reap(pid_t pid) {
    // The helper ends when its sockets close; give it a moment, then make sure.
    for (int i = 0; i < 200; ++i) {
        const pid_t r = ::waitpid(pid, nullptr, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR)) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

std::string DefaultHelperPath() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&DefaultHelperPath), &info) == 0 || !info.dli_fname) return {};
    std::string self = info.dli_fname;
    const auto slash = self.rfind('/');
    return (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/" + helper::kProgramName;
}

std::unique_ptr<HelperLink> HelperLink::Start(const std::string& path, const std::string& adapter, bool promiscuous,
                                              std::string* error) {
    int req[2], frm[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, req) != 0) {
        *error = std::string("cannot make a socket pair: ") + std::strerror(errno);
        return nullptr;
    }
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, frm) != 0) {
        *error = std::string("cannot make a socket pair: ") + std::strerror(errno);
        ::close(req[0]);
        ::close(req[1]);
        return nullptr;
    }
    const timeval timeout{kReplyTimeoutMs / 1000, 0};
    ::setsockopt(req[0], SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::unique_ptr<HelperLink> link(new HelperLink);
    link->m_requests = req[0];
    link->m_frames = frm[0];
    const int childRequests = Lifted(req[1]), childFrames = Lifted(frm[1]);
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawnattr_init(&attr);
    ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_adddup2(&actions, childRequests, helper::kRequestFd);
    ::posix_spawn_file_actions_adddup2(&actions, childFrames, helper::kFramesFd);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    ::posix_spawnattr_setsigmask(&attr, &none);
    ::posix_spawnattr_setsigdefault(&attr, &defaults);
    ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    char* argv[] = {const_cast<char*>(helper::kProgramName), nullptr};
    char* envp[] = {nullptr};
    const int spawned = (childRequests < 0 || childFrames < 0)
                            ? EMFILE
                            : ::posix_spawn(&link->m_pid, path.c_str(), &actions, &attr, argv, envp);
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attr);
    if (childRequests >= 0) ::close(childRequests);
    if (childFrames >= 0) ::close(childFrames);
    if (spawned != 0) {
        link->m_pid = -1;
        *error = "cannot start " + path + ": " + std::strerror(spawned);
        return nullptr;
    }
    if (!link->Call(helper::HelloRequest(), error) || !link->Call(helper::OpenRequest(adapter, promiscuous), error))
        return nullptr;
    return link;
}

HelperLink::~HelperLink() {
    if (m_requests >= 0) ::close(m_requests);
    if (m_frames >= 0) ::close(m_frames);
    if (m_pid > 0) Reap(m_pid);
}

bool HelperLink::Call(const std::vector<std::uint8_t>& request, std::string* error) {
    std::string ignored;
    std::string& why = error ? *error : ignored;
    if (::send(m_requests, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        why = std::string("the helper has ended: ") + std::strerror(errno);
        return false;
    }
    for (;;) {
        helper::Reply reply = helper::Reply::Failed;
        if (!NextReply(true, reply, why)) return false;
        if (reply != helper::Reply::Refused) return reply == helper::Reply::Done;
        // Refusals of frames sent before come first; they are reported by the
        // next Send or Read, and their word on the frames socket is passed over.
        Refuse(why);
        ++m_heardEarly;
    }
}

bool HelperLink::NextReply(bool wait, helper::Reply& reply, std::string& why) {
    std::uint8_t message[helper::kMessageRoom];
    for (;;) {
        // The socket's receive time-out bounds the wait (set at the start).
        const ssize_t got = ::recv(m_requests, message, sizeof message, wait ? 0 : MSG_DONTWAIT);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            why = wait ? "the helper does not answer" : "the helper sent no reply";
            // A helper that hangs is of no more use: end it.
            if (wait && m_pid > 0) ::kill(m_pid, SIGKILL);
            return false;
        }
        if (got <= 0) {
            why = "the helper has ended";
            return false;
        }
        reply = helper::ParseReply(message, static_cast<std::size_t>(got), why);
        return true;
    }
}

void HelperLink::Refuse(const std::string& why) {
    if (!m_refused) m_refusal = why;
    m_refused = true;
}

bool HelperLink::TakeRefusal(std::string* error) {
    if (!m_refused) return false;
    if (error) *error = "the helper refused a frame: " + m_refusal;
    m_refused = false;
    m_refusal.clear();
    errno = ECOMM;
    return true;
}

bool HelperLink::SetFilter(std::uint32_t filter, std::string* error) { return Call(helper::FilterRequest(filter), error); }

bool HelperLink::Send(const std::uint8_t* frame, std::size_t length, std::string* error) {
    if (!frame || length < kMinFrame || length > kMaxFrame) return false;
    // A refusal there already is reported now; its word on the frames socket is passed over.
    helper::Reply reply = helper::Reply::Failed;
    std::string why;
    if (NextReply(false, reply, why)) {
        Refuse(why);
        ++m_heardEarly;
    }
    if (TakeRefusal(error)) return false;
    // The helper closes its sockets one at a time as it ends: once its end was
    // seen, the request socket may still take a frame that nobody will send.
    if (m_ended) {
        if (error) *error = "the helper has ended";
        return false;
    }
    const std::vector<std::uint8_t> request = helper::SendRequest(frame, length);
    if (::send(m_requests, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        if (error) *error = std::string("the helper has ended: ") + std::strerror(errno);
        return false;
    }
    return true;
}

ReadResult HelperLink::Read(std::uint8_t* out, std::size_t capacity, std::size_t* length) {
    std::uint8_t frame[kMaxFrame + 1];
    for (;;) {
        const ssize_t got = ::recv(m_frames, frame, sizeof frame, MSG_DONTWAIT | MSG_TRUNC);
        if (got <= 0) {
            const bool empty = got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
            if (!empty) m_ended = true;
            if (TakeRefusal(nullptr)) return ReadResult::Refused;
            return empty ? ReadResult::Empty : ReadResult::Gone;
        }
        const auto n = static_cast<std::size_t>(got);
        // The helper's word that a frame was refused, sent after the refusal itself.
        if (n == 1 && frame[0] == helper::kRefusedNotice) {
            if (m_heardEarly > 0) {
                --m_heardEarly;
            } else {
                helper::Reply reply = helper::Reply::Failed;
                std::string why;
                NextReply(false, reply, why);
                Refuse(why);
            }
            if (TakeRefusal(nullptr)) return ReadResult::Refused;
            continue;
        }
        if (n < kMinFrame || n > kMaxFrame) continue;  // not a frame: never handed on
        const std::size_t len = std::min(n, capacity);
        std::memcpy(out, frame, len);
        *length = len;
        return ReadResult::Frame;
    }
}

}  // namespace kvr::zs
