// kvr-rawhelper: raw frames for a program that may not open network adapters
// itself. It holds the one capability this needs (cap_net_raw), opens the one
// adapter its parent names, keeps only the KVR SNAP frames that adapter's packet
// filter lets through and relays frames both ways (see HelperProtocol.h). Once
// the adapter is open it gives up every capability; it never gains new
// privileges and ends when its parent closes the sockets or goes.
//
// It reads nothing but what its parent sends: no settings, no files, no
// environment (the library starts it with an empty one).
#include <linux/capability.h>
#include <net/if.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "HelperProtocol.h"
#include "NetInterface.h"

namespace {

using namespace kvr::zs;
using namespace kvr::zs::helper;

// Empties the permitted, effective and inheritable sets and the ambient set;
// the bounding set too where the helper may change it (when run as root).
bool DropCapabilities() {
    ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    for (int cap = 0; cap <= 63; ++cap)
        if (::prctl(PR_CAPBSET_READ, cap, 0, 0, 0) == 1) ::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    return ::syscall(SYS_capset, &header, data) == 0;
}

bool IsSeqPacketSocket(int fd) {
    int type = 0, domain = 0;
    socklen_t n = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &n) != 0 || type != SOCK_SEQPACKET) return false;
    n = sizeof domain;
    return ::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &n) == 0 && domain == AF_UNIX;
}

// The process at the other end of the request socket must be the one that
// started us: a socket handed on to some other process is not served.
bool PeerIsParent(int fd) {
    ucred cred{};
    socklen_t n = sizeof cred;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &n) == 0 && cred.pid == ::getppid();
}

class Helper {
public:
    ~Helper() {
        if (m_pcap) ::pcap_close(m_pcap);
    }

    int Run() {
        for (;;) {
            pollfd p[3] = {{kRequestFd, POLLIN, 0}, {kFramesFd, static_cast<short>(m_held || m_notices ? POLLOUT : 0), 0},
                           {m_captureFd, POLLIN, 0}};
            const nfds_t n = (m_pcap && !m_held) ? 3 : 2;
            if (::poll(p, n, m_pcap ? kPresenceCheckMs : -1) < 0) {
                if (errno == EINTR) continue;
                return 1;
            }
            // The capture reports an adapter's removal only once, as an error
            // that can come while the adapter still has its name; after that it
            // stays silent. So whether it is still there is asked again now and then.
            if (m_pcap && std::chrono::steady_clock::now() >= m_nextPresenceCheck) {
                if (!AdapterPresent()) return 0;
                m_nextPresenceCheck = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPresenceCheckMs);
            }
            // The parent closed either socket or went: nothing more to do.
            if ((p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) || (p[1].revents & (POLLHUP | POLLERR | POLLNVAL)))
                return 0;
            if (p[0].revents & POLLIN) {
                if (!Serve()) return 0;
            }
            if (p[1].revents & POLLOUT) Announce();
            if (m_held && (p[1].revents & POLLOUT) && !Relay()) return 0;
            if (n == 3 && (p[2].revents & (POLLIN | POLLERR | POLLHUP)) && !Capture()) return 0;
        }
    }

private:
    // One request and its reply (none for a frame that went out); false when the parent is gone.
    bool Serve() {
        std::array<std::uint8_t, kMessageRoom> msg;
        const ssize_t got = ::recv(kRequestFd, msg.data(), msg.size(), MSG_TRUNC | MSG_DONTWAIT);
        if (got == 0) return false;
        if (got < 0) return errno == EAGAIN || errno == EINTR;
        std::string error;
        Request req;
        if (static_cast<std::size_t>(got) > msg.size()) error = "request too long";
        else if (ParseRequest(msg.data(), static_cast<std::size_t>(got), req, error)) error = Handle(req);
        // A frame that went out is not answered: the parent does not wait for it.
        const bool send = msg[0] == static_cast<std::uint8_t>(Kind::Send);
        if (send && error.empty()) return true;
        const std::vector<std::uint8_t> reply = send ? RefusalReply(error) : error.empty() ? OkReply() : ErrorReply(error);
        if (::send(kRequestFd, reply.data(), reply.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(reply.size())) return false;
        // The parent may be waiting for frames: tell it there too, after the reply.
        if (send) {
            ++m_notices;
            Announce();
        }
        return true;
    }

    // Carries a request out: "" when done, else why not.
    std::string Handle(const Request& req) {
        if (req.kind == Kind::Hello) {
            if (m_hello) return "this helper already serves a parent";
            if (req.value != kProtocolVersion) return "protocol version " + std::to_string(req.value) + " is not served";
            if (!PeerIsParent(kRequestFd)) return "the request socket does not lead to the process that started the helper";
            m_hello = true;
            return {};
        }
        if (!m_hello) return "no hello came first";
        switch (req.kind) {
        case Kind::Open: {
            if (m_opened) return "this helper already opened an adapter";
            m_opened = true;
            std::string error = Open(req.name, req.promiscuous);
            // Whatever came of it: no capability is needed any more.
            if (!DropCapabilities() && error.empty()) error = "cannot give up the capabilities";
            return error;
        }
        case Kind::Filter:
            return SetFilter(req.value);
        case Kind::Send:
            if (!m_pcap) return "no adapter is open";
            if (::pcap_inject(m_pcap, req.frame.data(), req.frame.size()) != static_cast<int>(req.frame.size()))
                return std::string("the system refused the frame: ") + ::pcap_geterr(m_pcap);
            return {};
        default:
            return "unknown request";
        }
    }

    std::string Open(const std::string& name, bool promiscuous) {
        if (!IsUsableName(name) || ::if_nametoindex(name.c_str()) == 0) return "no adapter '" + name + "'";
        if (!IsEthernet(name)) return "'" + name + "' is not an Ethernet adapter";
        char err[PCAP_ERRBUF_SIZE] = {};
        pcap_t* p = ::pcap_create(name.c_str(), err);
        if (!p) return err;
        const bool set = ::pcap_set_snaplen(p, static_cast<int>(kMaxFrame)) == 0 && ::pcap_set_immediate_mode(p, 1) == 0 &&
                         ::pcap_set_promisc(p, promiscuous ? 1 : 0) == 0 && ::pcap_set_buffer_size(p, 4 << 20) == 0;
        const int activated = set ? ::pcap_activate(p) : PCAP_ERROR;
        if (activated < 0) {
            std::string why = activated == PCAP_ERROR_PERM_DENIED
                                  ? "the helper lacks the capability cap_net_raw"
                                  : std::string("cannot open '") + name + "': " + ::pcap_geterr(p);
            ::pcap_close(p);
            return why;
        }
        m_pcap = p;
        if (::pcap_datalink(p) != DLT_EN10MB || ::pcap_setdirection(p, PCAP_D_IN) != 0 || ::pcap_setnonblock(p, 1, err) != 0 ||
            (m_captureFd = ::pcap_get_selectable_fd(p)) < 0)
            return "'" + name + "' cannot be read as Ethernet";
        m_name = name;
        m_ifindex = ::if_nametoindex(name.c_str());
        // Nothing passes until the parent sets a packet filter.
        return SetFilter(0);
    }

    std::string SetFilter(std::uint32_t filter) {
        if (!m_pcap) return "no adapter is open";
        if (filter & ~kFilterSupported) return "packet filter not supported";
        m_current = CurrentAddress(m_name);
        m_permanent = PermanentAddress(m_name);
        std::string program = FilterProgram(filter, m_current, m_permanent);
        if (program.empty()) program = "less 0";  // keeps nothing
        bpf_program bpf{};
        if (::pcap_compile(m_pcap, &bpf, program.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0)
            return std::string("cannot compile the filter: ") + ::pcap_geterr(m_pcap);
        const int rc = ::pcap_setfilter(m_pcap, &bpf);
        ::pcap_freecode(&bpf);
        if (rc != 0) return std::string("cannot set the filter: ") + ::pcap_geterr(m_pcap);
        m_filter = filter;
        return {};
    }

    // Reads one frame of the capture and relays it; false when the parent is gone
    // or the adapter failed (its end tells the parent the adapter is gone). One
    // frame per wake-up: a second read would find the ring empty and cost a
    // system call of its own, while a ring that still holds frames keeps the
    // capture readable for the next poll.
    bool Capture() {
        pcap_pkthdr* hdr = nullptr;
        const u_char* data = nullptr;
        const int r = ::pcap_next_ex(m_pcap, &hdr, &data);
        if (r == 0) return true;
        // An adapter that went away ends the helper, which tells the parent.
        if (r < 0) return AdapterPresent();
        // The kernel filter has chosen already; frames that came in before it
        // was set, or cut short, never reach the parent.
        if (hdr->caplen != hdr->len || hdr->caplen < kMinFrame ||
            !FrameWanted(m_filter, m_current, m_permanent, data, hdr->caplen))
            return true;
        std::memcpy(m_frame.data(), data, hdr->caplen);
        m_frameLength = hdr->caplen;
        m_held = true;
        return Relay();
    }

    bool AdapterPresent() const { return ::if_nametoindex(m_name.c_str()) == m_ifindex; }

    // Tells the parent of refused frames on the frames socket; what its full queue
    // does not take now is told once there is room.
    void Announce() {
        while (m_notices > 0 && ::send(kFramesFd, &kRefusedNotice, 1, MSG_DONTWAIT | MSG_NOSIGNAL) == 1) --m_notices;
    }

    // Hands on the held frame; it stays held while the parent's queue is full.
    bool Relay() {
        const ssize_t sent = ::send(kFramesFd, m_frame.data(), m_frameLength, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ENOBUFS;
        m_held = false;
        return true;
    }

    bool m_hello = false;
    bool m_opened = false;
    pcap_t* m_pcap = nullptr;
    int m_captureFd = -1;
    std::string m_name;
    unsigned m_ifindex = 0;
    std::uint32_t m_filter = 0;
    Mac m_current{}, m_permanent{};
    std::array<std::uint8_t, kMaxFrame> m_frame{};
    std::size_t m_frameLength = 0;
    bool m_held = false;
    int m_notices = 0;  // refusals the parent has not been told of on the frames socket
    static constexpr int kPresenceCheckMs = 250;
    std::chrono::steady_clock::time_point m_nextPresenceCheck{};
};

}  // namespace

int main() {
    ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    // Descriptors beyond the two sockets and the standard ones are not ours.
    ::syscall(SYS_close_range, kFramesFd + 1, ~0U, 0);
    ::signal(SIGPIPE, SIG_IGN);
    if (!IsSeqPacketSocket(kRequestFd) || !IsSeqPacketSocket(kFramesFd)) {
        std::fprintf(stderr, "%s: started without its sockets; only the adapter library starts it\n", kProgramName);
        DropCapabilities();
        return 2;
    }
    Helper helper;
    return helper.Run();
}
