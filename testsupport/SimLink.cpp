#include "SimLink.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "HexText.h"
#include "sim/SimFrame.h"

namespace kvr::test {

sim::Mac SimMac(unsigned n) {
    return {0x00, 0x07, 0xF5, static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 8),
            static_cast<std::uint8_t>(n)};
}

sim::DeviceConfig SimDevice(unsigned n, const std::string& name) {
    sim::DeviceConfig d;
    d.mac = SimMac(n);
    d.name = name;
    return d;
}

SimLink::SimLink(FakeClock& clock) : m_clock(clock) {
    SetClock(&m_clock);
    SetSnapLink(this);
}

SimLink::~SimLink() {
    SetSnapLink(nullptr);
    SetClock(nullptr);
}

sim::DeviceModel& SimLink::AddDevice(const sim::DeviceConfig& config) {
    const std::string why = sim::DeviceModel::Validate(config);
    if (!why.empty()) {
        std::fprintf(stderr, "SimLink: unusable device configuration: %s\n", why.c_str());
        std::abort();
    }
    m_devices.push_back(std::make_unique<sim::DeviceModel>(config));
    return *m_devices.back();
}

void SimLink::RemoveDevices() {
    m_devices.clear();
    m_queue.clear();
}

void SimLink::Queue(std::int64_t at, SnapFrame frame) { m_queue.push_back({at, m_order++, std::move(frame)}); }

void SimLink::Inject(const SnapFrame& frame, std::int64_t delayMs) { Queue(m_clock.NowMs() + delayMs, frame); }

SnapFrame SimLink::Response(const std::string& mac, std::int16_t label, const std::vector<std::uint8_t>& payload,
                               bool downloadMode, std::int16_t version) {
    SnapFrame r;
    r.sender = ParseMac(mac).value_or(MacAddress{});
    r.version = version;
    r.frameType = static_cast<std::uint8_t>(2 | (downloadMode ? 0x80 : 0));
    r.label = label;
    r.payload = payload;
    return r;
}

bool SimLink::Write(std::int32_t hNIC, const std::string& destMAC, std::int16_t version, std::uint8_t frameType,
                    std::int16_t label, std::uint8_t downloadMode, std::int16_t payloadLen, std::uint8_t modifiedSnap,
                    std::vector<std::uint8_t>& payload) {
    if (failWrites > 0) {
        --failWrites;
        return false;
    }
    const std::size_t n = std::min<std::size_t>(payload.size(), static_cast<std::size_t>(std::max<int>(payloadLen, 0)));
    const std::int64_t now = m_clock.NowMs();
    sent.push_back({hNIC, destMAC, version, frameType, label, downloadMode, payloadLen,
                    std::vector<std::uint8_t>(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(n)), now});

    const auto dst = sim::ParseMac(destMAC);
    if (!dst) return true;  // goes nowhere
    sim::SnapFrame f;
    f.dst = *dst;
    f.src = kHost;
    f.headerSrc = kHost;
    f.version = version == 8 ? 8 : 0;
    f.typeByte = static_cast<std::uint8_t>(frameType | (modifiedSnap ? 0x40 : 0));
    f.label = static_cast<std::uint16_t>(label);
    f.status = downloadMode;
    f.payload = sent.back().payload;
    const std::vector<std::uint8_t> bytes = sim::BuildSnapFrame(f);
    for (auto& device : m_devices) {
        for (const sim::OutFrame& out : device->OnFrame(bytes, now)) {
            const auto parsed = sim::ParseSnapFrame(out.bytes);
            if (!parsed) continue;
            SnapFrame r;
            const sim::Mac& sender = parsed->Sender();
            std::copy(sender.begin(), sender.end(), r.sender.begin());
            r.version = static_cast<std::int16_t>(parsed->version);
            r.frameType = parsed->typeByte;
            r.label = static_cast<std::int16_t>(parsed->label);
            r.status = parsed->status;
            r.payload = parsed->payload;
            Queue(out.dueMs, std::move(r));
        }
    }
    return true;
}

bool SimLink::Read(std::int32_t, SnapFrame& frame) {
    ++reads;
    const std::int64_t now = m_clock.NowMs();
    auto next = std::min_element(m_queue.begin(), m_queue.end(), [](const Queued& a, const Queued& b) {
        return a.at != b.at ? a.at < b.at : a.order < b.order;
    });
    if (next != m_queue.end() && next->at <= now + 100) {
        if (next->at > now) m_clock.Advance(next->at - now);
        frame = std::move(next->frame);
        m_queue.erase(next);
        return true;
    }
    m_clock.Advance(100);
    return false;
}

bool SimLink::Open(const std::string& description, std::int32_t& hNIC) {
    opened.push_back(description);
    const bool ok = openOk && (adapterName.empty() || description == adapterName);
    hNIC = ok ? handle : -1;
    if (ok) ++opens;
    return ok;
}

bool SimLink::Close(std::int32_t) {
    ++closes;
    return true;
}

std::vector<SentFrame> SimLink::Requests() const {
    std::vector<SentFrame> out;
    for (const auto& s : sent)
        if (!s.IsAck()) out.push_back(s);
    return out;
}

std::vector<SentFrame> SimLink::Acks() const {
    std::vector<SentFrame> out;
    for (const auto& s : sent)
        if (s.IsAck()) out.push_back(s);
    return out;
}

}  // namespace kvr::test
