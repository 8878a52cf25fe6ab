// Devices on a virtual segment: one station per device address, each joined
// to the SNAP multicast group, so the segment filters like a real NIC would.
#include <map>

#include "libs/zarnisupp/vseg/Segment.h"
#include "sim/Link.h"
#include "sim/SimFrame.h"

namespace kvr::sim {

namespace {

class SegmentLink : public Link {
public:
    explicit SegmentLink(std::string segment) : m_segment(std::move(segment)) {}

    std::string Describe() const override { return "segment " + m_segment; }

    bool AddStation(const Mac& mac, std::string* error) override {
        if (m_stations.count(mac)) return true;
        std::string why;
        auto station = vseg::Station::Attach(m_segment, mac, &why);
        if (!station) {
            if (error) *error = "cannot attach " + MacText(mac) + " to segment '" + m_segment + "': " + why;
            return false;
        }
        station->JoinMulticast(kSnapMulticast);
        m_stations.emplace(mac, std::move(station));
        return true;
    }

    void RemoveStation(const Mac& mac) override { m_stations.erase(mac); }

    bool HasStation(const Mac& mac) const override { return m_stations.count(mac) != 0; }

    bool Send(const Mac& from, std::span<const std::uint8_t> frame) override {
        auto it = m_stations.find(from);
        if (it == m_stations.end()) return false;
        return it->second->Send(frame.data(), frame.size());
    }

    void PollFds(std::vector<int>& fds) const override {
        for (const auto& [mac, station] : m_stations) fds.push_back(station->PollFd());
    }

    void Drain(const FrameSink& sink) override {
        std::uint8_t buf[vseg::kMaxFrame];
        for (auto& [mac, station] : m_stations) {
            // Bounded per station so one busy device cannot starve the others.
            for (int i = 0; i < 64; ++i) {
                long n = station->Receive(buf, sizeof buf);
                if (n <= 0) break;
                sink(&mac, std::span<const std::uint8_t>(buf, static_cast<std::size_t>(n)));
            }
        }
    }

private:
    std::string m_segment;
    std::map<Mac, std::unique_ptr<vseg::Station>> m_stations;
};

}  // namespace

std::unique_ptr<Link> OpenSegmentLink(const std::string& segment, std::string* error) {
    if (!vseg::IsValidSegmentName(segment)) {
        if (error)
            *error = "'" + segment + "' is not a usable segment name (1-32 characters of A-Z a-z 0-9 . _ -)";
        return nullptr;
    }
    return std::make_unique<SegmentLink>(segment);
}

}  // namespace kvr::sim
