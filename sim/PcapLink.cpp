// Devices on a real Ethernet interface through libpcap. One capture handle
// serves every device address: the interface runs promiscuous, joins the SNAP
// multicast group (a real NIC filters multicast in hardware), and a kernel
// filter keeps only SNAP frames of our organisation code addressed to a device,
// to broadcast or to the group.
#include <linux/if_packet.h>
#include <net/if.h>
#include <pcap/pcap.h>
#include <sys/socket.h>

#include <cstdio>
#include <set>

#include "sim/Link.h"
#include "sim/SimFrame.h"

namespace kvr::sim {

namespace {

std::string ColonMac(const Mac& m) {
    char buf[18];
    std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
    return buf;
}

class PcapLink : public Link {
public:
    PcapLink(std::string name, pcap_t* handle) : m_name(std::move(name)), m_pcap(handle) {}
    ~PcapLink() override { pcap_close(m_pcap); }

    std::string Describe() const override { return "interface " + m_name; }

    bool AddStation(const Mac& mac, std::string* error) override {
        m_macs.insert(mac);
        if (UpdateFilter(error)) return true;
        m_macs.erase(mac);
        UpdateFilter(nullptr);
        return false;
    }

    void RemoveStation(const Mac& mac) override {
        m_macs.erase(mac);
        UpdateFilter(nullptr);
    }

    bool HasStation(const Mac& mac) const override { return m_macs.count(mac) != 0; }

    bool Send(const Mac& from, std::span<const std::uint8_t> frame) override {
        if (!m_macs.count(from)) return false;
        // Short frames are padded to the Ethernet minimum as a NIC would.
        if (frame.size() < 60) {
            std::uint8_t padded[60] = {};
            for (std::size_t i = 0; i < frame.size(); ++i) padded[i] = frame[i];
            return pcap_inject(m_pcap, padded, sizeof padded) == static_cast<int>(sizeof padded);
        }
        return pcap_inject(m_pcap, frame.data(), frame.size()) == static_cast<int>(frame.size());
    }

    void PollFds(std::vector<int>& fds) const override {
        int fd = pcap_get_selectable_fd(m_pcap);
        if (fd >= 0) fds.push_back(fd);
    }

    void Drain(const FrameSink& sink) override {
        struct Ctx {
            const FrameSink* sink;
        } ctx{&sink};
        pcap_dispatch(
            m_pcap, 256,
            [](u_char* user, const pcap_pkthdr* h, const u_char* bytes) {
                auto* c = reinterpret_cast<Ctx*>(user);
                (*c->sink)(nullptr, std::span<const std::uint8_t>(bytes, h->caplen));
            },
            reinterpret_cast<u_char*>(&ctx));
    }

private:
    bool UpdateFilter(std::string* error) {
        std::string dst = "ether dst " + ColonMac(kSnapMulticast) + " or ether broadcast";
        for (const Mac& m : m_macs) dst += " or ether dst " + ColonMac(m);
        std::string expr = "(" + dst +
                           ") and ether[12:2] <= 1500 and ether[14:4] & 0xfeffffff = 0xaaaa0300"
                           " and ether[18:4] = 0x07f50000";
        bpf_program prog{};
        if (pcap_compile(m_pcap, &prog, expr.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0) {
            if (error) *error = "filter for " + m_name + ": " + pcap_geterr(m_pcap);
            return false;
        }
        bool ok = pcap_setfilter(m_pcap, &prog) == 0;
        if (!ok && error) *error = "filter for " + m_name + ": " + pcap_geterr(m_pcap);
        pcap_freecode(&prog);
        return ok;
    }

    std::string m_name;
    pcap_t* m_pcap;
    std::set<Mac> m_macs;
};

}  // namespace

std::unique_ptr<Link> OpenPcapLink(const std::string& name, std::string* error) {
    char err[PCAP_ERRBUF_SIZE] = {};
    pcap_t* p = pcap_create(name.c_str(), err);
    if (!p) {
        if (error) *error = "cannot open interface '" + name + "': " + err;
        return nullptr;
    }
    pcap_set_snaplen(p, 1600);
    pcap_set_promisc(p, 1);
    pcap_set_immediate_mode(p, 1);
    pcap_set_timeout(p, 10);
    int rc = pcap_activate(p);
    if (rc < 0) {
        std::string why = rc == PCAP_ERROR_PERM_DENIED ? "permission denied (needs CAP_NET_RAW, e.g. run as root)"
                                                       : std::string(pcap_geterr(p));
        if (error) *error = "cannot open interface '" + name + "': " + why;
        pcap_close(p);
        return nullptr;
    }
    if (pcap_datalink(p) != DLT_EN10MB) {
        if (error) *error = "interface '" + name + "' is not an Ethernet interface";
        pcap_close(p);
        return nullptr;
    }
    pcap_setdirection(p, PCAP_D_IN);
    if (pcap_setnonblock(p, 1, err) != 0) {
        if (error) *error = "cannot open interface '" + name + "': " + err;
        pcap_close(p);
        return nullptr;
    }
    // Join the SNAP multicast group on the interface.
    int fd = pcap_fileno(p);
    unsigned index = if_nametoindex(name.c_str());
    if (fd >= 0 && index != 0) {
        packet_mreq mreq{};
        mreq.mr_ifindex = static_cast<int>(index);
        mreq.mr_type = PACKET_MR_MULTICAST;
        mreq.mr_alen = 6;
        for (int i = 0; i < 6; ++i) mreq.mr_address[i] = kSnapMulticast[static_cast<std::size_t>(i)];
        setsockopt(fd, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &mreq, sizeof mreq);
    }
    auto link = std::make_unique<PcapLink>(name, p);
    std::string why;
    if (!link->AddStation(kBroadcast, &why)) {  // compiles the first filter
        if (error) *error = why;
        return nullptr;
    }
    link->RemoveStation(kBroadcast);
    return link;
}

}  // namespace kvr::sim
