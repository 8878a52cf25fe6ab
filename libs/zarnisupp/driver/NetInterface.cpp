// Interface facts through ioctls and /sys, and the kernel filter of an open adapter.
#include "NetInterface.h"

#include <net/if.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <linux/wireless.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "ByteReader.h"

namespace kvr::zs {
namespace {

bool SysExists(const std::string& ifname, const char* entry) {
    struct stat st {};
    return ::stat(("/sys/class/net/" + ifname + "/" + entry).c_str(), &st) == 0;
}

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

// The colon-separated lower-case form the kernel filter compiler reads.
std::string FilterMacText(const Mac& m) {
    char buf[18];
    std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
    return buf;
}

}  // namespace

bool IsUsableName(const std::string& name) {
    return !name.empty() && name.size() < IFNAMSIZ && name.find('/') == std::string::npos &&
           name.rfind("vseg:", 0) != 0 && name != "." && name != "..";
}

bool IsZero(const Mac& m) { return std::all_of(m.begin(), m.end(), [](std::uint8_t b) { return b == 0; }); }

std::string DriverName(const std::string& ifname) {
    ethtool_drvinfo info{};
    info.cmd = ETHTOOL_GDRVINFO;
    if (!Ethtool(ifname, &info)) return {};
    info.driver[sizeof info.driver - 1] = 0;
    return info.driver;
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

std::uint32_t QuerySsid(const std::string& ifname, std::uint8_t* buffer, std::uint32_t length) {
    if (!IsWireless(ifname)) return kStatusNotSupported;
    if (!buffer || length < 36) return kStatusBufferTooShort;
    IoctlSocket s;
    char essid[IW_ESSID_MAX_SIZE + 1] = {};
    iwreq req{};
    std::strncpy(req.ifr_name, ifname.c_str(), IFNAMSIZ - 1);
    req.u.essid.pointer = essid;
    req.u.essid.length = IW_ESSID_MAX_SIZE;
    if (s.fd() < 0 || ::ioctl(s.fd(), SIOCGIWESSID, &req) != 0) return kStatusFailure;
    const std::uint32_t n = std::min<std::uint32_t>(req.u.essid.length, 32);
    std::memset(buffer, 0, 36);
    AnswerQueryU32(buffer, 4, n);
    std::memcpy(buffer + 4, essid, n);
    return kStatusSuccess;
}

std::uint32_t QueryMode(const std::string& ifname, std::uint8_t* buffer, std::uint32_t length) {
    if (!IsWireless(ifname)) return kStatusNotSupported;
    IoctlSocket s;
    iwreq req{};
    std::strncpy(req.ifr_name, ifname.c_str(), IFNAMSIZ - 1);
    if (s.fd() < 0 || ::ioctl(s.fd(), SIOCGIWMODE, &req) != 0) return kStatusFailure;
    // Ndis802_11IBSS = 0, Ndis802_11Infrastructure = 1, Ndis802_11AutoUnknown = 2
    std::uint32_t mode = req.u.mode == IW_MODE_ADHOC ? 0 : req.u.mode == IW_MODE_INFRA ? 1 : 2;
    return AnswerQueryU32(buffer, length, mode);
}


bool FrameWanted(std::uint32_t filter, const Mac& current, const Mac& permanent, const std::uint8_t* frame,
                 std::size_t length) {
    kvr::ByteReader r(frame, length);
    const auto dst = r.View(6);
    r.Skip(6);
    const std::uint16_t typeOrLength = r.U16BE();
    r.Skip(2);  // DSAP, SSAP
    r.Skip(1);  // control
    const std::uint8_t oui[3] = {r.U8(), r.U8(), r.U8()};
    if (!r.Ok() || length > kMaxFrame || typeOrLength > 1500) return false;
    if (oui[0] != 0x00 || oui[1] != 0x07 || oui[2] != 0xF5) return false;
    return filter != 0 && FilterAccepts(filter, current, permanent, dst.data());
}

}  // namespace kvr::zs
