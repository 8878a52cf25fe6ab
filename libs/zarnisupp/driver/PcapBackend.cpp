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

#include "HelperLink.h"
#include "NetInterface.h"
#include "PacketDriver.h"

namespace kvr::zs {
namespace {

RawPath g_rawPath = RawPath::Auto;
std::string g_helperPath;

std::string HelperPath() { return g_helperPath.empty() ? DefaultHelperPath() : g_helperPath; }

class PcapPort final : public FactPort {
public:
    PcapPort(std::string name, unsigned ifindex) : m_name(std::move(name)), m_ifindex(ifindex) {}
    ~PcapPort() override { StopCapture(); }

    bool Send(const std::uint8_t* frame, std::size_t length) override {
        if (!frame || length < kMinFrame || length > kMaxFrame) return false;
        if (m_helper) return m_helper->Send(frame, length);
        if (!m_pcap) return false;
        return ::pcap_inject(m_pcap, frame, length) == static_cast<int>(length);
    }

    ReadResult Read(std::uint8_t* out, std::size_t capacity, std::size_t* length) override {
        if (m_helper) return m_helper->Read(out, capacity, length);
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
        if (m_helper) {
            fds[0] = m_helper->FramesFd();
            return 1;
        }
        if (!m_pcap) return 0;
        fds[0] = m_pollFd;
        return 1;
    }

private:
    bool Vanished() const override { return ::if_nametoindex(m_name.c_str()) != m_ifindex; }
    std::uint32_t PhysicalMedium() const override {
        return IsWireless(m_name) ? kPhysicalWirelessLan : kPhysicalUnspecified;
    }
    bool MediaConnected() const override { return IsConnected(m_name); }
    Mac PermanentMac() const override { return PermanentAddress(m_name); }
    Mac CurrentMac() const override { return CurrentAddress(m_name); }
    std::uint32_t PacketFilter() const override { return m_filter; }
    std::uint32_t QueryOther(std::uint32_t oid, std::uint8_t* buffer, std::uint32_t length) override {
        if (oid == OID_802_11_SSID) return QuerySsid(m_name, buffer, length);
        if (oid == OID_802_11_INFRASTRUCTURE_MODE) return QueryMode(m_name, buffer, length);
        return kStatusNotSupported;
    }

    bool Capturing() const { return m_pcap || m_helper; }

    void StopCapture() {
        m_helper.reset();
        if (m_pcap) ::pcap_close(m_pcap);
        m_pcap = nullptr;
        m_pollFd = -1;
    }

    std::uint32_t SetFilter(std::uint32_t filter) override {
        if (filter & ~kFilterSupported) return kStatusNotSupported;
        if (filter == 0) {
            StopCapture();
            m_filter = 0;
            return kStatusSuccess;
        }
        const bool promisc = (filter & (kFilterPromiscuous | kFilterAllMulticast)) != 0;
        if (Capturing() && promisc != m_promisc) StopCapture();
        if (!Capturing() && !StartCapture(promisc)) return kStatusFailure;
        if (m_helper) {
            if (!m_helper->SetFilter(filter)) {
                StopCapture();
                return kStatusFailure;
            }
            m_filter = filter;
            return kStatusSuccess;
        }
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

    // Opens the capture directly when this process may; else (or when asked to)
    // through the raw-frame helper.
    bool StartCapture(bool promisc) {
        if (g_rawPath != RawPath::Helper) {
            int activated = 0;
            if (StartDirect(promisc, activated)) return true;
            if (g_rawPath == RawPath::Direct || activated != PCAP_ERROR_PERM_DENIED) return false;
        }
        std::string error;
        m_helper = HelperLink::Start(HelperPath(), m_name, promisc, &error);
        if (!m_helper) return false;
        m_promisc = promisc;
        return true;
    }

    bool StartDirect(bool promisc, int& activated) {
        char err[PCAP_ERRBUF_SIZE] = {};
        m_pcap = ::pcap_create(m_name.c_str(), err);
        if (!m_pcap) return false;
        bool ok = ::pcap_set_snaplen(m_pcap, static_cast<int>(kMaxFrame)) == 0 &&
                  ::pcap_set_immediate_mode(m_pcap, 1) == 0 && ::pcap_set_promisc(m_pcap, promisc ? 1 : 0) == 0 &&
                  ::pcap_set_buffer_size(m_pcap, 4 << 20) == 0;
        // Without CAP_NET_RAW activation fails with PCAP_ERROR_PERM_DENIED.
        activated = ok ? ::pcap_activate(m_pcap) : PCAP_ERROR;
        ok = ok && activated >= 0;
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

    std::string m_name;
    unsigned m_ifindex;
    pcap_t* m_pcap = nullptr;
    std::unique_ptr<HelperLink> m_helper;
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

void SetRawPath(RawPath path, const std::string& helperPath) {
    g_rawPath = path;
    g_helperPath = helperPath;
}

}  // namespace kvr::zs
