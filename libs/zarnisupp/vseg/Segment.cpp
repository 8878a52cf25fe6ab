// Virtual Ethernet segment: one AF_UNIX datagram socket per station in the
// segment's directory. Socket files are named "<MAC>-<p|u>-<pid>-<n>": the
// address lets senders skip stations a unicast frame is not for, and 'p' marks
// a promiscuous station that wants every frame.
#include "Segment.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <thread>

namespace kvr::vseg {

namespace {

constexpr std::size_t kQueueLimit = 8192;
constexpr int kPeerSendTimeoutMs = 20;        // how long a send waits for a busy peer
constexpr auto kSlowPeerPause = std::chrono::seconds(1);  // then frames to it are dropped for a while
constexpr int kRescueDelayMs = 2;  // how long frames may sit in the socket before the receiver thread takes them
constexpr int kBacklog = 4;        // frames taken at once that mean a burst is coming in

bool IsGroup(const std::uint8_t* mac) { return (mac[0] & 1) != 0; }
bool IsBroadcast(const std::uint8_t* mac) {
    return std::all_of(mac, mac + 6, [](std::uint8_t b) { return b == 0xFF; });
}

std::string ErrnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

void SetError(std::string* error, const std::string& text) {
    if (error) *error = text;
}

// Creates dir (0700) when missing; accepts an existing directory only when it is
// ours and not writable by others, so nobody else can plant or watch stations.
bool EnsurePrivateDir(const std::string& dir, std::string* error) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        SetError(error, ErrnoText(("cannot create " + dir).c_str()));
        return false;
    }
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) {
        SetError(error, ErrnoText(("cannot inspect " + dir).c_str()));
        return false;
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & 022) != 0) {
        SetError(error, dir + " is not a private directory of this user");
        return false;
    }
    return true;
}

bool FillAddress(const std::string& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.data(), path.size());
    return true;
}

struct PeerName {
    Mac mac{};
    bool promiscuous = false;
};

bool ParsePeerName(const char* name, PeerName& out) {
    // <12 hex>-<p|u>-...
    if (std::strlen(name) < 15 || name[12] != '-' || (name[13] != 'p' && name[13] != 'u') || name[14] != '-')
        return false;
    const auto mac = ParseMac(std::string_view(name, 12));
    if (!mac) return false;
    out.mac = *mac;
    out.promiscuous = name[13] == 'p';
    return true;
}

std::atomic<unsigned> g_stationCounter{0};

}  // namespace

std::string SegmentRoot() {
    const char* env = std::getenv("KVR_SEGMENT_DIR");
    if (env && *env) return env;
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg && *xdg) return std::string(xdg) + "/kvr-segments";
    return "/tmp/kvr-segments-" + std::to_string(::getuid());
}

bool IsValidSegmentName(const std::string& name) {
    if (name.empty() || name.size() > 32 || name[0] == '.') return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
               c == '_' || c == '-';
    });
}

std::vector<std::string> ListSegments() {
    std::vector<std::string> out;
    const std::string root = SegmentRoot();
    DIR* d = ::opendir(root.c_str());
    if (!d) return out;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (!IsValidSegmentName(name)) continue;
        struct stat st {};
        if (::lstat((root + "/" + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) out.push_back(name);
    }
    ::closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

std::size_t CountStations(const std::string& segment) {
    if (!IsValidSegmentName(segment)) return 0;
    const std::string dir = SegmentRoot() + "/" + segment;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return 0;
    std::size_t count = 0;
    int probe = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    while (dirent* e = ::readdir(d)) {
        PeerName pn;
        if (!ParsePeerName(e->d_name, pn) || probe < 0) continue;
        sockaddr_un addr;
        if (!FillAddress(dir + "/" + e->d_name, addr)) continue;
        // connect() on a datagram socket only checks that somebody is bound there.
        if (::connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            ++count;
            sockaddr_un none{};
            none.sun_family = AF_UNSPEC;
            ::connect(probe, reinterpret_cast<sockaddr*>(&none), sizeof(sa_family_t));
        }
    }
    if (probe >= 0) ::close(probe);
    ::closedir(d);
    return count;
}

Mac SegmentAdapterMac(const std::string& segment) {
    std::uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (unsigned char c : segment) {
        h ^= c;
        h *= 1099511628211ull;
    }
    Mac mac{};
    mac[0] = 0x02;  // locally administered, unicast
    for (int i = 1; i < 6; ++i) mac[i] = static_cast<std::uint8_t>(h >> (8 * (i - 1)));
    return mac;
}

struct Station::Impl {
    std::string segment;
    std::string dir;
    std::string path;  // own socket file
    Mac mac{};
    int sock = -1;
    int readyFd = -1;  // eventfd: readable while the queue holds a frame
    int stopFd = -1;   // eventfd: tells the receiver thread to end
    int pollFd = -1;   // epoll over readyFd and sock: readable while a frame can be taken
    std::thread receiver;

    std::mutex queueLock;  // queue, groups, promiscuous, dropped
    std::deque<std::vector<std::uint8_t>> queue;
    std::set<Mac> groups;
    bool promiscuous = false;
    std::uint64_t dropped = 0;

    std::mutex sendLock;  // peer cache
    struct Peer {
        std::string path;
        PeerName name;
        std::chrono::steady_clock::time_point slowUntil{};
    };
    std::vector<Peer> peers;
    int dirFd = -1;  // the segment directory: its change time says when to re-read the peers
    timespec dirStamp{};
    bool peersValid = false;

    ~Impl() {
        if (receiver.joinable()) {
            std::uint64_t one = 1;
            (void)!::write(stopFd, &one, sizeof one);
            receiver.join();
        }
        if (sock >= 0) ::close(sock);
        if (readyFd >= 0) ::close(readyFd);
        if (stopFd >= 0) ::close(stopFd);
        if (pollFd >= 0) ::close(pollFd);
        if (dirFd >= 0) ::close(dirFd);
        if (!path.empty()) ::unlink(path.c_str());
        if (!dir.empty()) ::rmdir(dir.c_str());  // only succeeds when no station is left
    }

    bool Accepts(const std::uint8_t* frame) const {  // queueLock held
        const std::uint8_t* dst = frame;
        if (promiscuous || IsBroadcast(dst)) return true;
        if (IsGroup(dst)) {
            Mac g;
            std::copy(dst, dst + 6, g.begin());
            return groups.count(g) != 0;
        }
        return std::equal(dst, dst + 6, mac.begin());
    }

    // Takes every frame waiting in the socket into the queue. queueLock held.
    int DrainSocket(std::uint8_t* buf, std::size_t size) {
        int taken = 0;
        for (;;) {
            ssize_t len = ::recv(sock, buf, size, MSG_DONTWAIT);
            if (len < 0) return taken;  // EAGAIN: drained
            ++taken;
            if (len < static_cast<ssize_t>(kMinFrame) || len > static_cast<ssize_t>(kMaxFrame) || !Accepts(buf))
                continue;
            if (queue.size() >= kQueueLimit) {
                ++dropped;
                continue;
            }
            queue.emplace_back(buf, buf + len);
            if (queue.size() == 1) {
                std::uint64_t one = 1;
                (void)!::write(readyFd, &one, sizeof one);
            }
        }
    }

    // The owner normally reads straight from the socket. The socket holds only a
    // few datagrams, so when frames sit there unread for a moment (the owner is
    // busy elsewhere) this thread moves them into the queue; during a burst it
    // keeps doing so at once until the socket runs dry.
    void ReceiveLoop() {
        std::vector<std::uint8_t> buf(kMaxFrame + 1);
        pollfd fds[2] = {{sock, POLLIN, 0}, {stopFd, POLLIN, 0}};
        bool burst = false;
        for (;;) {
            int n = ::poll(fds, 2, -1);
            if (n < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents) return;
            if (!burst) {
                pollfd stop{stopFd, POLLIN, 0};
                if (::poll(&stop, 1, kRescueDelayMs) > 0) return;
            }
            std::lock_guard<std::mutex> g(queueLock);
            burst = DrainSocket(buf.data(), buf.size()) >= kBacklog;
        }
    }

    std::string SocketName(bool promisc) const {
        return MacText(mac) + (promisc ? "-p-" : "-u-") + std::to_string(::getpid()) + "-" +
               std::to_string(g_stationCounter++);
    }

    void RescanPeers() {  // sendLock held
        peers.clear();
        peersValid = false;
        struct stat st {};
        if (::fstat(dirFd, &st) != 0) return;
        DIR* d = ::opendir(dir.c_str());
        if (!d) return;
        const std::string own = path.substr(path.rfind('/') + 1);
        while (dirent* e = ::readdir(d)) {
            PeerName pn;
            if (!ParsePeerName(e->d_name, pn) || own == e->d_name) continue;
            peers.push_back({dir + "/" + e->d_name, pn, {}});
        }
        ::closedir(d);
        dirStamp = st.st_mtim;
        peersValid = true;
    }

    void RefreshPeersIfChanged() {  // sendLock held
        struct stat st {};
        if (::fstat(dirFd, &st) != 0) {
            peers.clear();
            peersValid = false;
            return;
        }
        if (!peersValid || st.st_mtim.tv_sec != dirStamp.tv_sec || st.st_mtim.tv_nsec != dirStamp.tv_nsec)
            RescanPeers();
    }
};

Station::Station(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
Station::~Station() = default;

std::size_t Station::QueueLimit() { return kQueueLimit; }

std::unique_ptr<Station> Station::Attach(const std::string& segment, const Mac& mac, std::string* error) {
    if (!IsValidSegmentName(segment)) {
        SetError(error, "invalid segment name '" + segment + "'");
        return nullptr;
    }
    if (IsGroup(mac.data()) || std::all_of(mac.begin(), mac.end(), [](std::uint8_t b) { return b == 0; })) {
        SetError(error, "a station needs a unicast address, not " + MacText(mac));
        return nullptr;
    }
    const std::string root = SegmentRoot();
    if (!EnsurePrivateDir(root, error)) return nullptr;
    auto impl = std::make_unique<Impl>();
    impl->segment = segment;
    impl->mac = mac;
    const std::string dir = root + "/" + segment;
    if (!EnsurePrivateDir(dir, error)) return nullptr;
    impl->dir = dir;
    impl->dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (impl->dirFd < 0) {
        SetError(error, ErrnoText(("cannot open " + dir).c_str()));
        return nullptr;
    }
    std::string path = dir + "/" + impl->SocketName(false);
    sockaddr_un addr;
    if (!FillAddress(path, addr)) {
        SetError(error, "segment path too long for a socket: " + path);
        return nullptr;
    }
    impl->sock = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    impl->readyFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    impl->stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    impl->pollFd = ::epoll_create1(EPOLL_CLOEXEC);
    bool ok = impl->sock >= 0 && impl->readyFd >= 0 && impl->stopFd >= 0 && impl->pollFd >= 0;
    for (int fd : {impl->readyFd, impl->sock}) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        ok = ok && ::epoll_ctl(impl->pollFd, EPOLL_CTL_ADD, fd, &ev) == 0;
    }
    if (!ok) {
        SetError(error, ErrnoText("cannot create the station's descriptors"));
        return nullptr;
    }
    ::unlink(path.c_str());
    if (::bind(impl->sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        SetError(error, ErrnoText(("cannot bind " + path).c_str()));
        return nullptr;
    }
    impl->path = path;
    int big = 4 << 20;
    ::setsockopt(impl->sock, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    ::setsockopt(impl->sock, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    timeval tv{0, kPeerSendTimeoutMs * 1000};
    ::setsockopt(impl->sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    try {
        Impl* raw = impl.get();
        impl->receiver = std::thread([raw] { raw->ReceiveLoop(); });
    } catch (const std::exception& e) {
        SetError(error, std::string("cannot start the station's receiver: ") + e.what());
        return nullptr;
    }
    return std::unique_ptr<Station>(new Station(std::move(impl)));
}

const Mac& Station::Address() const { return m_impl->mac; }
const std::string& Station::Segment() const { return m_impl->segment; }

bool Station::JoinMulticast(const Mac& group) {
    if (!IsGroup(group.data())) return false;
    std::lock_guard<std::mutex> g(m_impl->queueLock);
    m_impl->groups.insert(group);
    return true;
}

bool Station::LeaveMulticast(const Mac& group) {
    if (!IsGroup(group.data())) return false;
    std::lock_guard<std::mutex> g(m_impl->queueLock);
    m_impl->groups.erase(group);
    return true;
}

void Station::SetPromiscuous(bool on) {
    Impl& s = *m_impl;
    {
        std::lock_guard<std::mutex> g(s.queueLock);
        if (s.promiscuous == on) return;
        s.promiscuous = on;
    }
    // Rename the socket file so that senders stop (or start) skipping us for
    // unicast frames to other stations. The bound socket stays the same.
    std::lock_guard<std::mutex> g(s.sendLock);
    std::string newPath = s.dir + "/" + s.SocketName(on);
    sockaddr_un addr;
    if (FillAddress(newPath, addr) && ::rename(s.path.c_str(), newPath.c_str()) == 0) {
        s.path = newPath;
        s.peersValid = false;
    }
}

bool Station::Send(const std::uint8_t* frame, std::size_t length) {
    if (!frame || length < kMinFrame || length > kMaxFrame) return false;
    Impl& s = *m_impl;
    std::lock_guard<std::mutex> g(s.sendLock);
    s.RefreshPeersIfChanged();
    const bool unicast = !IsGroup(frame);
    const auto now = std::chrono::steady_clock::now();
    bool changed = false;
    for (auto& p : s.peers) {
        if (unicast && !p.name.promiscuous && !std::equal(frame, frame + 6, p.name.mac.begin())) continue;
        sockaddr_un addr;
        if (!FillAddress(p.path, addr)) continue;
        const auto* sa = reinterpret_cast<const sockaddr*>(&addr);
        ssize_t r = ::sendto(s.sock, frame, length, MSG_DONTWAIT | MSG_NOSIGNAL, sa, sizeof addr);
        if (r < 0 && errno == EAGAIN && now >= p.slowUntil) {
            // The peer's queue is full: give its receiver a moment to drain it.
            r = ::sendto(s.sock, frame, length, MSG_NOSIGNAL, sa, sizeof addr);
            if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) p.slowUntil = now + kSlowPeerPause;
        }
        if (r < 0 && (errno == ECONNREFUSED || errno == ENOENT)) {
            // Nobody is bound there any more: a station that ended without detaching.
            if (errno == ECONNREFUSED) ::unlink(p.path.c_str());
            changed = true;
        }
    }
    if (changed) s.peersValid = false;
    return true;
}

long Station::Receive(std::uint8_t* out, std::size_t capacity) {
    if (!out) return -1;
    Impl& s = *m_impl;
    std::lock_guard<std::mutex> g(s.queueLock);
    if (!s.queue.empty()) {
        // Frames the receiver thread took come first: they are the older ones.
        std::vector<std::uint8_t> frame = std::move(s.queue.front());
        s.queue.pop_front();
        if (s.queue.empty()) {
            std::uint64_t v;
            (void)!::read(s.readyFd, &v, sizeof v);
        }
        std::memcpy(out, frame.data(), std::min(capacity, frame.size()));
        return static_cast<long>(frame.size());
    }
    std::uint8_t buf[kMaxFrame + 1];
    for (;;) {
        ssize_t len = ::recv(s.sock, buf, sizeof buf, MSG_DONTWAIT);
        if (len < 0) return 0;
        if (len < static_cast<ssize_t>(kMinFrame) || len > static_cast<ssize_t>(kMaxFrame) || !s.Accepts(buf))
            continue;
        std::memcpy(out, buf, std::min(capacity, static_cast<std::size_t>(len)));
        return static_cast<long>(len);
    }
}

bool Station::Wait(int timeoutMs) {
    Impl& s = *m_impl;
    pollfd p[2] = {{s.readyFd, POLLIN, 0}, {s.sock, POLLIN, 0}};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    std::uint8_t head[kMaxFrame + 1];
    for (;;) {
        int wait = timeoutMs;
        if (timeoutMs >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            wait = static_cast<int>(std::max<long long>(0, left.count()));
        }
        int n = ::poll(p, 2, wait);
        if (n < 0 && errno != EINTR) return false;
        if (n > 0) {
            // Frames this station does not keep (groups it left, bad lengths) are
            // dropped here, so that true means a frame is really waiting.
            std::lock_guard<std::mutex> g(s.queueLock);
            if (!s.queue.empty()) return true;
            for (;;) {
                ssize_t len = ::recv(s.sock, head, sizeof head, MSG_DONTWAIT | MSG_PEEK);
                if (len < 0) break;
                if (len >= static_cast<ssize_t>(kMinFrame) && len <= static_cast<ssize_t>(kMaxFrame) && s.Accepts(head))
                    return true;
                (void)!::recv(s.sock, head, 0, MSG_DONTWAIT | MSG_TRUNC);
            }
        }
        if (n == 0 && wait == 0) return false;
        if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline) return false;
    }
}

int Station::PollFd() const { return m_impl->pollFd; }
std::array<int, 2> Station::PollFds() const { return {m_impl->readyFd, m_impl->sock}; }

bool Station::Detached() const {
    struct stat st {};
    return ::lstat(m_impl->path.c_str(), &st) != 0 && errno == ENOENT;
}

std::uint64_t Station::Dropped() const {
    std::lock_guard<std::mutex> g(m_impl->queueLock);
    return m_impl->dropped;
}

}  // namespace kvr::vseg
