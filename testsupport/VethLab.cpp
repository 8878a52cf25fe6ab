#include "VethLab.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

extern char** environ;

namespace {

bool WriteFile(const char* path, const char* text) {
    int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::write(fd, text, std::strlen(text)) == static_cast<ssize_t>(std::strlen(text));
    ::close(fd);
    return ok;
}

// Fewer stray frames (router solicitations, MLD) on the pair.
void QuietIpv6() { WriteFile("/proc/sys/net/ipv6/conf/default/disable_ipv6", "1"); }

// Without privileges: a user namespace where we are root, with a network
// namespace of its own (must happen before any thread is started).
bool EnterUserAndNetNamespace() {
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) return false;
    const std::string uidMap = "0 " + std::to_string(uid) + " 1";
    const std::string gidMap = "0 " + std::to_string(gid) + " 1";
    WriteFile("/proc/self/setgroups", "deny");
    return WriteFile("/proc/self/uid_map", uidMap.c_str()) && WriteFile("/proc/self/gid_map", gidMap.c_str());
}

int OpenPacketSocket(const std::string& ifname) {
    int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
    if (fd < 0) return -1;
    sockaddr_ll sll{};
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(ETH_P_ALL);
    sll.sll_ifindex = static_cast<int>(::if_nametoindex(ifname.c_str()));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sll), sizeof sll) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads one incoming (not our own) KVR SNAP frame; length, 0 when the frame was something else.
ssize_t ReadIncoming(int fd, std::uint8_t* buf, std::size_t cap) {
    sockaddr_ll from{};
    socklen_t fl = sizeof from;
    ssize_t n = ::recvfrom(fd, buf, cap, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fl);
    if (n < 0) return -1;
    if (from.sll_pkttype == PACKET_OUTGOING || !IsKvrSnap(buf, static_cast<std::size_t>(n))) return 0;
    return n;
}

[[noreturn]] void RunFarEnd(int ctl, int ready, const std::string& far) {
    // Own namespace, then wait until the parent moved the far end in.
    char c = ::unshare(CLONE_NEWNET) == 0 ? 'r' : 'x';
    QuietIpv6();
    (void)!::write(ready, &c, 1);
    if (c != 'r' || ::read(ctl, &c, 1) != 1 || !VethLab::Ip({"link", "set", far, "up"})) _exit(1);
    int pkt = OpenPacketSocket(far);
    VethLab::Mac mac{};
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, far.c_str(), IFNAMSIZ - 1);
    if (pkt < 0 || ::ioctl(pkt, SIOCGIFHWADDR, &ifr) != 0) _exit(1);
    std::memcpy(mac.data(), ifr.ifr_hwaddr.sa_data, 6);
    (void)!::send(ctl, mac.data(), 6, 0);
    std::uint8_t msg[2048], buf[2048];
    for (;;) {
        ssize_t n = ::recv(ctl, msg, sizeof msg, 0);
        if (n <= 0 || msg[0] == 'Q') _exit(0);
        if (msg[0] == 'S') {
            ssize_t sent = ::send(pkt, msg + 1, static_cast<std::size_t>(n - 1), 0);
            std::uint8_t ok = sent == n - 1 ? 'k' : 'f';
            (void)!::send(ctl, &ok, 1, 0);
        } else if (msg[0] == 'C' && n >= 9) {
            std::int32_t ms, max;
            std::memcpy(&ms, msg + 1, 4);
            std::memcpy(&max, msg + 5, 4);
            const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
            int got = 0;
            while (got < max) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
                if (left.count() <= 0) break;
                pollfd p{pkt, POLLIN, 0};
                if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
                ssize_t len;
                while ((len = ReadIncoming(pkt, buf + 1, sizeof buf - 1)) >= 0) {
                    if (len == 0) continue;
                    buf[0] = 'F';
                    (void)!::send(ctl, buf, static_cast<std::size_t>(len + 1), 0);
                    if (++got >= max) break;
                }
            }
            std::uint8_t e = 'E';
            (void)!::send(ctl, &e, 1, 0);
        } else if (msg[0] == 'P') {
            std::uint8_t ok = 'k';
            (void)!::send(ctl, &ok, 1, 0);
            pollfd p[2] = {{pkt, POLLIN, 0}, {ctl, POLLIN, 0}};
            for (;;) {
                if (::poll(p, 2, -1) < 0) continue;
                if (p[1].revents) break;
                ssize_t len;
                while ((len = ReadIncoming(pkt, buf, sizeof buf)) >= 0) {
                    if (len == 0) continue;
                    std::uint8_t tmp[6];
                    std::memcpy(tmp, buf, 6);
                    std::memcpy(buf, buf + 6, 6);
                    std::memcpy(buf + 6, tmp, 6);
                    (void)!::send(pkt, buf, static_cast<std::size_t>(len), 0);
                }
            }
            n = ::recv(ctl, msg, sizeof msg, 0);  // the stop request
            (void)!::send(ctl, &ok, 1, 0);
        }
    }
}

}  // namespace

bool IsKvrSnap(const std::uint8_t* f, std::size_t n) {
    return n >= 22 && ((f[12] << 8) | f[13]) <= 1500 && f[17] == 0x00 && f[18] == 0x07 && f[19] == 0xF5;
}

bool VethLab::Ip(const std::vector<std::string>& args) {
    std::vector<std::string> all{"ip"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int rc = ::posix_spawnp(&pid, "ip", &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return false;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool VethLab::PairInOwnNamespace(const std::string& a, const std::string& b, bool privateSys, std::string* reason) {
    if (::unshare(privateSys ? CLONE_NEWNET | CLONE_NEWNS : CLONE_NEWNET) != 0) {
        *reason = "cannot create a network namespace";
        return false;
    }
    if (privateSys && (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                       ::mount("sysfs", "/sys", "sysfs", 0, nullptr) != 0)) {
        *reason = "cannot mount a private /sys";
        return false;
    }
    if (!Ip({"link", "add", a, "type", "veth", "peer", "name", b}) || !Ip({"link", "set", a, "up"}) ||
        !Ip({"link", "set", b, "up"})) {
        *reason = "cannot create a veth pair";
        return false;
    }
    return true;
}

bool VethLab::Start(std::string* reason) {
    const std::string tag = std::to_string(::getpid());
    m_near = "kvn" + tag;
    m_far = "kvf" + tag;
    if (::unshare(CLONE_NEWNET) != 0 && !EnterUserAndNetNamespace()) {
        *reason = std::string("cannot create a network namespace (needs root, CAP_SYS_ADMIN or user namespaces): ") +
                  std::strerror(errno);
        return false;
    }
    QuietIpv6();
    if (!Ip({"link", "add", m_near, "type", "veth", "peer", "name", m_far})) {
        *reason = "cannot create a veth pair with `ip link add` (iproute2 missing or veth not available)";
        return false;
    }
    int sp[2], rp[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sp) != 0 || ::pipe2(rp, O_CLOEXEC) != 0) {
        *reason = "cannot create the control channel";
        return false;
    }
    pid_t pid = ::fork();
    if (pid < 0) {
        *reason = "fork failed";
        return false;
    }
    if (pid == 0) {
        ::close(sp[0]);
        ::close(rp[0]);
        RunFarEnd(sp[1], rp[1], m_far);
    }
    m_child = pid;
    m_ctl = sp[0];
    ::close(sp[1]);
    ::close(rp[1]);
    char c = 0;
    bool ok = ::read(rp[0], &c, 1) == 1 && c == 'r';
    ::close(rp[0]);
    if (!ok) {
        *reason = "the helper could not create its network namespace";
        return false;
    }
    if (!Ip({"link", "set", m_far, "netns", std::to_string(pid)}) || !Ip({"link", "set", m_near, "up"})) {
        *reason = "cannot move the far end into the helper's namespace";
        return false;
    }
    c = 'g';
    pollfd p{m_ctl, POLLIN, 0};
    if (::write(m_ctl, &c, 1) != 1 || ::poll(&p, 1, 5000) != 1 || ::recv(m_ctl, m_farMac.data(), 6, 0) != 6) {
        *reason = "the helper could not open the far end";
        return false;
    }
    // Wait for the link to come up on both ends.
    for (int i = 0; i < 200; ++i) {
        ifreq ifr{};
        std::strncpy(ifr.ifr_name, m_near.c_str(), IFNAMSIZ - 1);
        int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        bool running = s >= 0 && ::ioctl(s, SIOCGIFFLAGS, &ifr) == 0 && (ifr.ifr_flags & IFF_RUNNING);
        if (s >= 0) ::close(s);
        if (running) return true;
        ::usleep(10000);
    }
    *reason = "the veth link did not come up";
    return false;
}

VethLab::~VethLab() {
    if (m_ctl >= 0) {
        std::uint8_t q = 'Q';
        (void)!::send(m_ctl, &q, 1, MSG_NOSIGNAL);
        ::close(m_ctl);
    }
    if (m_child > 0) {
        for (int i = 0; i < 100; ++i) {
            if (::waitpid(m_child, nullptr, WNOHANG) == m_child) return;
            ::usleep(10000);
        }
        ::kill(m_child, SIGKILL);
        ::waitpid(m_child, nullptr, 0);
    }
}

VethLab::Mac VethLab::NearMac() const {
    Mac mac{};
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, m_near.c_str(), IFNAMSIZ - 1);
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s >= 0 && ::ioctl(s, SIOCGIFHWADDR, &ifr) == 0) std::memcpy(mac.data(), ifr.ifr_hwaddr.sa_data, 6);
    if (s >= 0) ::close(s);
    return mac;
}

bool VethLab::Command(const std::vector<std::uint8_t>& msg, std::vector<std::uint8_t>* reply) {
    if (m_ctl < 0 || ::send(m_ctl, msg.data(), msg.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(msg.size()))
        return false;
    std::uint8_t buf[2048];
    ssize_t n = ::recv(m_ctl, buf, sizeof buf, 0);
    if (n <= 0) return false;
    if (reply) reply->assign(buf, buf + n);
    return buf[0] == 'k';
}

bool VethLab::FarSend(const std::vector<std::uint8_t>& frame) {
    std::vector<std::uint8_t> msg(frame.size() + 1, 'S');
    std::copy(frame.begin(), frame.end(), msg.begin() + 1);
    return Command(msg);
}

std::vector<std::vector<std::uint8_t>> VethLab::FarCollect(int ms, int max) {
    std::vector<std::vector<std::uint8_t>> out;
    std::uint8_t msg[9] = {'C'};
    std::memcpy(msg + 1, &ms, 4);
    std::memcpy(msg + 5, &max, 4);
    if (m_ctl < 0 || ::send(m_ctl, msg, sizeof msg, MSG_NOSIGNAL) != sizeof msg) return out;
    std::uint8_t buf[2048];
    for (;;) {
        ssize_t n = ::recv(m_ctl, buf, sizeof buf, 0);
        if (n <= 0 || buf[0] != 'F') break;
        out.emplace_back(buf + 1, buf + n);
    }
    return out;
}

bool VethLab::EchoStart() { return Command({'P'}); }
bool VethLab::EchoStop() { return Command({'X'}); }
