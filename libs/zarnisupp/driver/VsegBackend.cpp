// Backend for virtual segments: each segment is one adapter named
// "vseg:<segment>", with a stable locally administered address. Receiving
// attaches a station to the segment; a packet filter of 0 detaches it.
#include <sys/stat.h>

#include <algorithm>

#include "PacketDriver.h"
#include "Segment.h"

namespace kvr::zs {
namespace {

constexpr const char* kPrefix = "vseg:";

std::string SegmentOf(const std::string& name) { return name.substr(std::char_traits<char>::length(kPrefix)); }

class VsegPort final : public FactPort {
public:
    explicit VsegPort(std::string segment) : m_segment(std::move(segment)), m_mac(vseg::SegmentAdapterMac(m_segment)) {}

    bool Send(const std::uint8_t* frame, std::size_t length) override {
        return m_station && m_station->Send(frame, length);
    }

    ReadResult Read(std::uint8_t* out, std::size_t capacity, std::size_t* length) override {
        if (!m_station) return ReadResult::Empty;
        std::uint8_t frame[kMaxFrame];
        for (;;) {
            long n = m_station->Receive(frame, sizeof frame);
            if (n <= 0) return m_station->Detached() ? ReadResult::Gone : ReadResult::Empty;
            if (!FilterAccepts(m_filter, m_mac, m_mac, frame)) continue;
            std::size_t len = std::min<std::size_t>(static_cast<std::size_t>(n), capacity);
            std::copy(frame, frame + len, out);
            *length = len;
            return ReadResult::Frame;
        }
    }

    int PollFds(int fds[2]) const override {
        if (!m_station) return 0;
        const auto both = m_station->PollFds();
        fds[0] = both[0];
        fds[1] = both[1];
        return 2;
    }

private:
    std::uint32_t PhysicalMedium() const override { return kPhysicalUnspecified; }
    // Connected while some other station (a device) is attached.
    bool MediaConnected() const override {
        const std::size_t own = m_station ? 1 : 0;
        return vseg::CountStations(m_segment) > own;
    }
    Mac PermanentMac() const override { return m_mac; }
    Mac CurrentMac() const override { return m_mac; }
    std::uint32_t PacketFilter() const override { return m_filter; }

    std::uint32_t SetFilter(std::uint32_t filter) override {
        if (filter & ~kFilterSupported) return kStatusNotSupported;
        if (filter == 0) {
            m_station.reset();
            m_filter = 0;
            return kStatusSuccess;
        }
        if (!m_station) {
            m_station = vseg::Station::Attach(m_segment, m_mac);
            if (!m_station) return kStatusFailure;
        }
        m_station->SetPromiscuous((filter & (kFilterPromiscuous | kFilterAllMulticast)) != 0);
        m_filter = filter;
        return kStatusSuccess;
    }

    std::string m_segment;
    Mac m_mac;
    std::uint32_t m_filter = 0;
    std::unique_ptr<vseg::Station> m_station;
};

class VsegBackend final : public Backend {
public:
    const char* Kind() const override { return "vseg"; }

    bool Enumerate(std::vector<AdapterEntry>& out) override {
        for (const auto& seg : vseg::ListSegments())
            out.push_back({kPrefix + seg, "KVR virtual segment " + seg});
        return true;
    }

    bool Owns(const std::string& name) const override { return name.rfind(kPrefix, 0) == 0; }

    std::unique_ptr<Port> Open(const std::string& name) override {
        if (!Owns(name)) return nullptr;
        const std::string seg = SegmentOf(name);
        if (!vseg::IsValidSegmentName(seg)) return nullptr;
        struct stat st {};
        if (::stat((vseg::SegmentRoot() + "/" + seg).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return nullptr;
        return std::make_unique<VsegPort>(seg);
    }

    std::vector<Mac> AddressesWithIp() override { return {}; }
};

}  // namespace

std::unique_ptr<Backend> MakeVsegBackend() { return std::make_unique<VsegBackend>(); }

}  // namespace kvr::zs
