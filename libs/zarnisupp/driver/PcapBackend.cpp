// Backend for the PC's Ethernet interfaces through libpcap. Opening gives a
// handle for requests only (no privileges needed); setting a nonzero packet
// filter starts a capture, which needs CAP_NET_RAW. The capture sees only
// frames coming in (never our own), selected in the kernel by destination as the
// packet filter says, and only 802.3 length frames carrying the KVR SNAP
// organisation code 00-07-F5.
#include <ifaddrs.h>
#include <net/if.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <linux/wireless.h>
#include <net/if_arp.h>
#include <netpacket/packet.h>
#include <pcap/pcap.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

#include "PacketDriver.h"

namespace kvr::zs {
namespace {

bool SysExists(const std::string& ifname, const char* entry) {
    struct stat st {};
    return ::stat(("/sys/class/net/" + ifname + "/" + entry).c_str(), &st) == 0;
}

bool IsUsableName(const std::string& name) {
    return !name.empty() && name.size() < IFNAMSIZ && name.find('/') == std::string::npos &&
           name.rfind("vseg:", 0) != 0 && name != "." && name != "..";
}

bool IsZero(const Mac& m) { return std::all_of(m.begin(), m.end(), [](std::uint8_t b) { return b == 0; }); }

// An AF_INET datagram socket for interface ioctls (no privileges needed).
class IoctlSocket {
public:
    IoctlSocket() : m_fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
    ~IoctlSocket() {
        if (m_fd >= 0) ::close(m_fd);
    }
    IoctlSocket(const IoctlSocket&) = delete;
    IoctlSocket& operator=(const IoctlSocket&) = delete;
    int fd() const { return m_fd; }

private:
    int m_fd;
};

bool Ethtool(const std::string& ifname, void* data) {
    IoctlSocket s;
    if (s.fd() < 0) return false;
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, ifname.c_str(), IFNAMSIZ - 1);
    ifr.ifr_data = static_cast<char*>(data);
    return ::ioctl(s.fd(), SIOCETHTOOL, &ifr) == 0;
}

std::string DriverName(const std::string& ifname) {
    ethtool_drvinfo info{};
    info.cmd = ETHTOOL_GDRVINFO;
    if (!Ethtool(ifname, &info)) return {};
    info.driver[sizeof info.driver - 1] = 0;
    return info.driver;
}

bool IfRequest(const std::string& ifname, unsigned long request, ifreq& ifr) {
    IoctlSocket s;
    if (s.fd() < 0) return false;
    std::memset(&ifr, 0, sizeof ifr);
    std::strncpy(ifr.ifr_name, ifname.c_str(), IFNAMSIZ - 1);
    return ::ioctl(s.fd(), request, &ifr) == 0;
}

// Hardware type (ARPHRD_ETHER for Ethernet) and current address; ioctls rather
// than /sys, which shows another network namespace when it was mounted there.
bool HardwareAddress(const std::string& ifname, unsigned short& type, Mac& mac) {
    ifreq ifr;
    if (!IfRequest(ifname, SIOCGIFHWADDR, ifr)) return false;
    type = ifr.ifr_hwaddr.sa_family;
    std::memcpy(mac.data(), ifr.ifr_hwaddr.sa_data, 6);
    return true;
}

Mac CurrentAddress(const std::string& ifname) {
    Mac mac{};
    unsigned short type = 0;
    HardwareAddress(ifname, type, mac);
    return mac;
}

bool IsEthernet(const std::string& ifname) {
    Mac mac{};
    unsigned short type = 0;
    return HardwareAddress(ifname, type, mac) && type == ARPHRD_ETHER;
}

// The burnt-in address; interfaces without one (veth, bridges) report zeros, and
// then the current address stands in.
Mac PermanentAddress(const std::string& ifname) {
    // ethtool_perm_addr ends in a flexible array: give it room behind the head.
    alignas(ethtool_perm_addr) std::uint8_t raw[sizeof(ethtool_perm_addr) + 32] = {};
    auto* req = reinterpret_cast<ethtool_perm_addr*>(raw);
    req->cmd = ETHTOOL_GPERMADDR;
    req->size = 32;
    Mac mac{};
    if (Ethtool(ifname, raw) && req->size == 6) std::copy(raw + sizeof(ethtool_perm_addr), raw + sizeof(ethtool_perm_addr) + 6, mac.begin());
    if (IsZero(mac)) mac = CurrentAddress(ifname);
    return mac;
}

bool IsWireless(const std::string& ifname) {
    iwreq req{};
    std::strncpy(req.ifr_name, ifname.c_str(), IFNAMSIZ - 1);
    IoctlSocket s;
    if (s.fd() >= 0 && ::ioctl(s.fd(), SIOCGIWNAME, &req) == 0) return true;
    return SysExists(ifname, "wireless") || SysExists(ifname, "phy80211");
}

// Up with its link running (carrier present).
bool IsConnected(const std::string& ifname) {
    ifreq ifr;
    if (!IfRequest(ifname, SIOCGIFFLAGS, ifr)) return false;
    return (ifr.ifr_flags & IFF_UP) && (ifr.ifr_flags & IFF_RUNNING);
}

// The colon-separated lower-case form the kernel filter compiler reads.
std::string FilterMacText(const Mac& m) {
    char buf[18];
    std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
    return buf;
}

// Kernel filter for a packet filter value: destinations as a NIC would keep
// them, then KVR SNAP frames only (802.3 length field, organisation 00-07-F5).
std::string FilterProgram(std::uint32_t filter, const Mac& current, const Mac& permanent) {
    std::string dst;
    if (!(filter & kFilterPromiscuous)) {
        std::vector<std::string> parts;
        if (filter & kFilterDirected) {
            parts.push_back("ether dst " + FilterMacText(current));
            if (permanent != current) parts.push_back("ether dst " + FilterMacText(permanent));
        }
        if (filter & kFilterBroadcast) parts.push_back("ether broadcast");
        if (filter & kFilterAllMulticast) parts.push_back("(ether multicast and not ether broadcast)");
        if (parts.empty()) return {};
        for (std::size_t i = 0; i < parts.size(); ++i) dst += (i ? " or " : "") + parts[i];
        dst = "(" + dst + ") and ";
    }
    return dst + "ether[12:2] <= 1500 and (ether[16:4] & 0x00ffffff) = 0x0007f5";
}

class PcapPort final : public Port {
public:
    PcapPort(std::string name, unsigned ifindex) : m_name(std::move(name)), m_ifindex(ifindex) {}
    ~PcapPort() override { StopCapture(); }

    std::uint32_t Request(bool set, std::uint32_t oid, std::uint8_t* buffer, std::uint32_t length) override {
        if (Vanished()) return kStatusAdapterRemoved;
        if (set) {
            if (oid != OID_GEN_CURRENT_PACKET_FILTER) return kStatusNotSupported;
            std::uint32_t filter = 0, status = 0;
            if (!SetValueU32(buffer, length, filter, &status)) return status;
            return SetFilter(filter);
        }
        switch (oid) {
        case OID_GEN_PHYSICAL_MEDIUM:
            return AnswerQueryU32(buffer, length, IsWireless(m_name) ? kPhysicalWirelessLan : kPhysicalUnspecified);
        case OID_GEN_MEDIA_IN_USE:
        case OID_GEN_MEDIA_SUPPORTED:
            return AnswerQueryU32(buffer, length, kMediumEthernet);
        case OID_GEN_MAXIMUM_FRAME_SIZE:
            return AnswerQueryU32(buffer, length, 1500);
        case OID_GEN_CURRENT_PACKET_FILTER:
            return AnswerQueryU32(buffer, length, m_filter);
        case OID_GEN_MEDIA_CONNECT_STATUS:
            return AnswerQueryU32(buffer, length, IsConnected(m_name) ? kMediaConnected : kMediaDisconnected);
        case OID_802_3_PERMANENT_ADDRESS: {
            Mac m = PermanentAddress(m_name);
            return AnswerQuery(buffer, length, m.data(), m.size());
        }
        case OID_802_3_CURRENT_ADDRESS: {
            Mac m = CurrentAddress(m_name);
            return AnswerQuery(buffer, length, m.data(), m.size());
        }
        case OID_802_11_SSID:
            return QuerySsid(buffer, length);
        case OID_802_11_INFRASTRUCTURE_MODE:
            return QueryMode(buffer, length);
        default:
            return kStatusNotSupported;
        }
    }

    bool Send(const std::uint8_t* frame, std::size_t length) override {
        if (!m_pcap || !frame || length < kMinFrame || length > kMaxFrame) return false;
        return ::pcap_inject(m_pcap, frame, length) == static_cast<int>(length);
    }

    ReadResult Read(std::uint8_t* out, std::size_t capacity, std::size_t* length) override {
        if (!m_pcap) return ReadResult::Empty;
        for (;;) {
            pcap_pkthdr* hdr = nullptr;
            const u_char* data = nullptr;
            int r = ::pcap_next_ex(m_pcap, &hdr, &data);
            if (r == 0) return ReadResult::Empty;
            if (r < 0) return Vanished() ? ReadResult::Gone : ReadResult::Empty;
            // A frame longer than a whole Ethernet frame arrives cut short: drop it
            // rather than hand on a damaged frame.
            if (hdr->caplen != hdr->len || hdr->caplen < kMinFrame || hdr->caplen > kMaxFrame) continue;
            std::size_t len = std::min<std::size_t>(hdr->caplen, capacity);
            std::memcpy(out, data, len);
            *length = len;
            return ReadResult::Frame;
        }
    }

    int PollFds(int fds[2]) const override {
        if (!m_pcap) return 0;
        fds[0] = m_pollFd;
        return 1;
    }

private:
    bool Vanished() const { return ::if_nametoindex(m_name.c_str()) != m_ifindex; }

    void StopCapture() {
        if (m_pcap) ::pcap_close(m_pcap);
        m_pcap = nullptr;
        m_pollFd = -1;
    }

    std::uint32_t SetFilter(std::uint32_t filter) {
        if (filter & ~kFilterSupported) return kStatusNotSupported;
        if (filter == 0) {
            StopCapture();
            m_filter = 0;
            return kStatusSuccess;
        }
        const bool promisc = (filter & (kFilterPromiscuous | kFilterAllMulticast)) != 0;
        if (m_pcap && promisc != m_promisc) StopCapture();
        if (!m_pcap && !StartCapture(promisc)) return kStatusFailure;
        const std::string program = FilterProgram(filter, CurrentAddress(m_name), PermanentAddress(m_name));
        bpf_program bpf{};
        if (::pcap_compile(m_pcap, &bpf, program.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0) {
            StopCapture();
            return kStatusFailure;
        }
        int rc = ::pcap_setfilter(m_pcap, &bpf);
        ::pcap_freecode(&bpf);
        if (rc != 0) {
            StopCapture();
            return kStatusFailure;
        }
        m_filter = filter;
        return kStatusSuccess;
    }

    bool StartCapture(bool promisc) {
        char err[PCAP_ERRBUF_SIZE] = {};
        m_pcap = ::pcap_create(m_name.c_str(), err);
        if (!m_pcap) return false;
        bool ok = ::pcap_set_snaplen(m_pcap, static_cast<int>(kMaxFrame)) == 0 &&
                  ::pcap_set_immediate_mode(m_pcap, 1) == 0 && ::pcap_set_promisc(m_pcap, promisc ? 1 : 0) == 0 &&
                  ::pcap_set_buffer_size(m_pcap, 4 << 20) == 0;
        // Without CAP_NET_RAW activation fails with PCAP_ERROR_PERM_DENIED.
        ok = ok && ::pcap_activate(m_pcap) >= 0;
        ok = ok && ::pcap_datalink(m_pcap) == DLT_EN10MB && ::pcap_setdirection(m_pcap, PCAP_D_IN) == 0 &&
             ::pcap_setnonblock(m_pcap, 1, err) == 0;
        if (ok) m_pollFd = ::pcap_get_selectable_fd(m_pcap);
        if (!ok || m_pollFd < 0) {
            StopCapture();
            return false;
        }
        m_promisc = promisc;
        return true;
    }

    std::uint32_t QuerySsid(std::uint8_t* buffer, std::uint32_t length) {
        if (!IsWireless(m_name)) return kStatusNotSupported;
        if (!buffer || length < 36) return kStatusBufferTooShort;
        IoctlSocket s;
        char essid[IW_ESSID_MAX_SIZE + 1] = {};
        iwreq req{};
        std::strncpy(req.ifr_name, m_name.c_str(), IFNAMSIZ - 1);
        req.u.essid.pointer = essid;
        req.u.essid.length = IW_ESSID_MAX_SIZE;
        if (s.fd() < 0 || ::ioctl(s.fd(), SIOCGIWESSID, &req) != 0) return kStatusFailure;
        const std::uint32_t n = std::min<std::uint32_t>(req.u.essid.length, 32);
        std::memset(buffer, 0, 36);
        AnswerQueryU32(buffer, 4, n);
        std::memcpy(buffer + 4, essid, n);
        return kStatusSuccess;
    }

    std::uint32_t QueryMode(std::uint8_t* buffer, std::uint32_t length) {
        if (!IsWireless(m_name)) return kStatusNotSupported;
        IoctlSocket s;
        iwreq req{};
        std::strncpy(req.ifr_name, m_name.c_str(), IFNAMSIZ - 1);
        if (s.fd() < 0 || ::ioctl(s.fd(), SIOCGIWMODE, &req) != 0) return kStatusFailure;
        // Ndis802_11IBSS = 0, Ndis802_11Infrastructure = 1, Ndis802_11AutoUnknown = 2
        std::uint32_t mode = req.u.mode == IW_MODE_ADHOC ? 0 : req.u.mode == IW_MODE_INFRA ? 1 : 2;
        return AnswerQueryU32(buffer, length, mode);
    }

    std::string m_name;
    unsigned m_ifindex;
    pcap_t* m_pcap = nullptr;
    int m_pollFd = -1;
    bool m_promisc = false;
    std::uint32_t m_filter = 0;
};

class PcapBackend final : public Backend {
public:
    const char* Kind() const override { return "pcap"; }

    bool Enumerate(std::vector<AdapterEntry>& out) override {
        char err[PCAP_ERRBUF_SIZE] = {};
        pcap_if_t* all = nullptr;
        if (::pcap_findalldevs(&all, err) != 0) return false;
        for (pcap_if_t* d = all; d; d = d->next) {
            const std::string name = d->name ? d->name : "";
            // Keep real Ethernet interfaces only: pcap also lists pseudo-devices.
            if (!IsUsableName(name) || (d->flags & PCAP_IF_LOOPBACK) || !IsEthernet(name)) continue;
            std::string driver = DriverName(name);
            std::string desc = name;
            if (!driver.empty()) desc += " (" + driver + ")";
            else if (d->description && *d->description) desc += " (" + std::string(d->description) + ")";
            if (desc.size() > 511) desc.resize(511);
            out.push_back({name, desc});
        }
        ::pcap_freealldevs(all);
        return true;
    }

    bool Owns(const std::string& name) const override { return IsUsableName(name); }

    std::unique_ptr<Port> Open(const std::string& name) override {
        if (!IsUsableName(name)) return nullptr;
        unsigned idx = ::if_nametoindex(name.c_str());
        if (idx == 0) return nullptr;
        return std::make_unique<PcapPort>(name, idx);
    }

    std::vector<Mac> AddressesWithIp() override {
        std::vector<Mac> out;
        ifaddrs* all = nullptr;
        if (::getifaddrs(&all) != 0) return out;
        std::set<std::string> withIp;
        for (ifaddrs* a = all; a; a = a->ifa_next)
            if (a->ifa_addr && a->ifa_addr->sa_family == AF_INET && a->ifa_name) withIp.insert(a->ifa_name);
        ::freeifaddrs(all);
        for (const auto& name : withIp) {
            if (!IsUsableName(name)) continue;
            Mac cur = CurrentAddress(name), perm = PermanentAddress(name);
            if (!IsZero(cur)) out.push_back(cur);
            if (!IsZero(perm) && perm != cur) out.push_back(perm);
        }
        return out;
    }
};

}  // namespace

std::unique_ptr<Backend> MakePcapBackend() { return std::make_unique<PcapBackend>(); }

}  // namespace kvr::zs
