#include "sim/Simulator.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <queue>
#include <thread>

#include "sim/DeviceModel.h"
#include "sim/Link.h"
#include "sim/SimFrame.h"

namespace kvr::sim {

namespace {

std::int64_t SteadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

struct Pending {
    std::int64_t dueMs;
    std::uint64_t seq;  // keeps frames due at the same time in the order they were made
    Mac from;
    std::vector<std::uint8_t> bytes;
    bool operator>(const Pending& o) const { return dueMs != o.dueMs ? dueMs > o.dueMs : seq > o.seq; }
};

}  // namespace

class Engine {
public:
    Engine() : m_wake(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~Engine() {
        Stop();
        if (m_wake >= 0) close(m_wake);
    }

    struct Slot {
        std::unique_ptr<DeviceModel> model;
        std::string linkName;  // the segment or interface it belongs on
        bool vanished = false;
    };

    mutable std::mutex mu;
    std::map<Mac, Slot> devices;
    std::map<std::string, std::unique_ptr<Link>> links;
    bool onInterface = false;
    bool logging = true;
    std::function<void(const std::string&)> sink;

    std::int64_t Now() const { return SteadyMs() - m_epoch; }

    Link* LinkFor(const std::string& name, std::string* error) {
        auto it = links.find(name);
        if (it != links.end()) return it->second.get();
        auto link = onInterface ? OpenPcapLink(name, error) : OpenSegmentLink(name, error);
        if (!link) return nullptr;
        Link* raw = link.get();
        links.emplace(name, std::move(link));
        return raw;
    }

    // Puts a device on its link (caller holds the lock).
    bool Attach(const Mac& mac, Slot& slot, std::string* error) {
        Link* link = LinkFor(slot.linkName, error);
        if (!link) return false;
        if (!link->AddStation(mac, error)) return false;
        Wake();
        return true;
    }

    void Detach(const Mac& mac, Slot& slot) {
        auto it = links.find(slot.linkName);
        if (it != links.end()) it->second->RemoveStation(mac);
        Wake();
    }

    bool Start(const std::string& linkName, bool interface, std::string* error) {
        std::lock_guard<std::mutex> lock(mu);
        if (m_thread.joinable()) {
            if (error) *error = "the simulator is already running";
            return false;
        }
        onInterface = interface;
        m_defaultLink = linkName;
        std::vector<Mac> placed;  // devices given this start's link (undone on failure)
        auto fail = [&] {
            for (auto& [mac, slot] : devices) Detach(mac, slot);
            for (const Mac& mac : placed) devices[mac].linkName.clear();
            links.clear();
            return false;
        };
        if (!LinkFor(linkName, error)) return fail();
        for (auto& [mac, slot] : devices) {
            if (slot.linkName.empty()) {
                slot.linkName = linkName;
                placed.push_back(mac);
            }
            if (slot.vanished) continue;
            if (!Attach(mac, slot, error)) return fail();
        }
        m_running = true;
        m_thread = std::thread([this] { Run(); });
        return true;
    }

    void Stop() {
        {
            std::lock_guard<std::mutex> lock(mu);
            if (!m_thread.joinable()) return;
            m_running = false;
            Wake();
        }
        m_thread.join();
        std::lock_guard<std::mutex> lock(mu);
        for (auto& [mac, slot] : devices) {
            Detach(mac, slot);
            slot.linkName.clear();
        }
        links.clear();
        m_queue = {};
    }

    bool Running() const { return m_running; }
    const std::string& DefaultLink() const { return m_defaultLink; }

    void Wake() {
        if (m_wake < 0) return;
        std::uint64_t one = 1;
        ssize_t n = write(m_wake, &one, sizeof one);
        (void)n;
    }

private:
    void Emit(const std::string& line) {
        if (sink) sink(line);
    }

    void Deliver(const Mac& mac, Slot& slot, std::span<const std::uint8_t> frame, std::int64_t now) {
        if (slot.vanished) return;
        auto outs = slot.model->OnFrame(frame, now);
        for (auto& o : outs) m_queue.push(Pending{o.dueMs, m_seq++, mac, std::move(o.bytes)});
    }

    void OnLinkFrame(const std::string& linkName, const Mac* station, std::span<const std::uint8_t> frame,
                     std::int64_t now) {
        if (sink) {
            if (auto f = ParseSnapFrame(frame))
                Emit(std::to_string(now) + " in  " + DescribeFrame(*f));
        }
        if (station) {
            auto it = devices.find(*station);
            if (it != devices.end() && it->second.linkName == linkName) Deliver(it->first, it->second, frame, now);
            return;
        }
        if (frame.size() < 6) return;
        Mac dst{};
        for (std::size_t i = 0; i < 6; ++i) dst[i] = frame[i];
        if (dst[0] & 0x01) {
            for (auto& [mac, slot] : devices)
                if (slot.linkName == linkName) Deliver(mac, slot, frame, now);
        } else {
            auto it = devices.find(dst);
            if (it != devices.end() && it->second.linkName == linkName) Deliver(it->first, it->second, frame, now);
        }
    }

    void SendDue(std::int64_t now) {
        while (!m_queue.empty() && m_queue.top().dueMs <= now) {
            // The bytes take no part in the ordering: moving them out of the
            // top element before popping it saves a copy per frame.
            Pending p = std::move(const_cast<Pending&>(m_queue.top()));
            m_queue.pop();
            auto it = devices.find(p.from);
            if (it == devices.end() || it->second.vanished) continue;
            auto link = links.find(it->second.linkName);
            if (link == links.end()) continue;
            link->second->Send(p.from, p.bytes);
            if (sink) {
                if (auto f = ParseSnapFrame(p.bytes)) Emit(std::to_string(now) + " out " + DescribeFrame(*f));
            }
        }
    }

    void Run() {
        std::vector<pollfd> pfds;
        std::vector<int> fds;
        while (true) {
            // Nothing due: sleep until a frame comes or the wake descriptor
            // says that devices or links changed; no periodic wake-ups.
            int timeout = -1;
            {
                std::lock_guard<std::mutex> lock(mu);
                if (!m_running) break;
                std::int64_t now = Now();
                SendDue(now);
                if (!m_queue.empty()) {
                    std::int64_t wait = m_queue.top().dueMs - now;
                    timeout = static_cast<int>(wait < 0 ? 0 : (wait < 60000 ? wait : 60000));
                }
                fds.clear();
                for (const auto& [name, link] : links) link->PollFds(fds);
            }
            pfds.clear();
            pfds.push_back(pollfd{m_wake, POLLIN, 0});
            for (int fd : fds) pfds.push_back(pollfd{fd, POLLIN, 0});
            int rc = poll(pfds.data(), pfds.size(), timeout);
            if (rc < 0) continue;
            if (pfds[0].revents & POLLIN) {
                std::uint64_t v;
                ssize_t n = read(m_wake, &v, sizeof v);
                (void)n;
            }
            std::lock_guard<std::mutex> lock(mu);
            if (!m_running) break;
            std::int64_t now = Now();
            for (auto& [name, link] : links) {
                const std::string& linkName = name;
                link->Drain([&](const Mac* station, std::span<const std::uint8_t> frame) {
                    OnLinkFrame(linkName, station, frame, now);
                });
            }
            SendDue(now);
        }
    }

    int m_wake;
    std::int64_t m_epoch = SteadyMs();
    std::atomic<bool> m_running{false};
    std::thread m_thread;
    std::string m_defaultLink;
    std::priority_queue<Pending, std::vector<Pending>, std::greater<Pending>> m_queue;
    std::uint64_t m_seq = 0;
};

Simulator::Simulator() : m_engine(std::make_unique<Engine>()) {}

Simulator::~Simulator() { m_engine->Stop(); }

bool Simulator::AddDevice(const DeviceConfig& config, std::string* error) {
    std::string why = DeviceModel::Validate(config);
    if (!why.empty()) {
        if (error) *error = why;
        return false;
    }
    std::lock_guard<std::mutex> lock(m_engine->mu);
    if (m_engine->devices.count(config.mac)) {
        if (error) *error = "a device with address " + MacText(config.mac) + " already exists";
        return false;
    }
    Engine::Slot slot;
    slot.model = std::make_unique<DeviceModel>(config);
    slot.model->SetLogging(m_engine->logging);
    if (m_engine->Running()) {
        slot.linkName = m_engine->DefaultLink();
        if (!m_engine->Attach(config.mac, slot, error)) return false;
    }
    m_engine->devices.emplace(config.mac, std::move(slot));
    return true;
}

bool Simulator::RemoveDevice(const Mac& mac) {
    std::lock_guard<std::mutex> lock(m_engine->mu);
    auto it = m_engine->devices.find(mac);
    if (it == m_engine->devices.end()) return false;
    if (m_engine->Running()) m_engine->Detach(mac, it->second);
    m_engine->devices.erase(it);
    return true;
}

std::vector<Mac> Simulator::Devices() const {
    std::lock_guard<std::mutex> lock(m_engine->mu);
    std::vector<Mac> out;
    for (const auto& [mac, slot] : m_engine->devices) out.push_back(mac);
    return out;
}

bool Simulator::StartOnSegment(const std::string& segment, std::string* error) {
    return m_engine->Start(segment, false, error);
}

bool Simulator::StartOnInterface(const std::string& interfaceName, std::string* error) {
    return m_engine->Start(interfaceName, true, error);
}

void Simulator::Stop() { m_engine->Stop(); }

bool Simulator::Running() const { return m_engine->Running(); }

bool Simulator::Vanish(const Mac& mac) {
    std::lock_guard<std::mutex> lock(m_engine->mu);
    auto it = m_engine->devices.find(mac);
    if (it == m_engine->devices.end()) return false;
    if (!it->second.vanished && m_engine->Running()) m_engine->Detach(mac, it->second);
    it->second.vanished = true;
    return true;
}

bool Simulator::Appear(const Mac& mac) {
    std::lock_guard<std::mutex> lock(m_engine->mu);
    auto it = m_engine->devices.find(mac);
    if (it == m_engine->devices.end()) return false;
    if (it->second.vanished && m_engine->Running() && !m_engine->Attach(mac, it->second, nullptr)) return false;
    it->second.vanished = false;
    return true;
}

bool Simulator::MoveToSegment(const Mac& mac, const std::string& segment, std::string* error) {
    std::lock_guard<std::mutex> lock(m_engine->mu);
    auto it = m_engine->devices.find(mac);
    if (it == m_engine->devices.end()) {
        if (error) *error = "no device " + MacText(mac);
        return false;
    }
    if (m_engine->onInterface && m_engine->Running()) {
        if (error) *error = "devices on a real interface cannot move to a virtual segment";
        return false;
    }
    Engine::Slot& slot = it->second;
    if (!m_engine->Running()) {
        slot.linkName = segment;
        return true;
    }
    std::string old = slot.linkName;
    if (!slot.vanished) m_engine->Detach(mac, slot);
    slot.linkName = segment;
    if (!slot.vanished && !m_engine->Attach(mac, slot, error)) {
        slot.linkName = old;
        m_engine->Attach(mac, slot, nullptr);
        return false;
    }
    return true;
}

bool Simulator::SetFaults(const Mac& mac, const Faults& faults) {
    std::lock_guard<std::mutex> lock(m_engine->mu);
    auto it = m_engine->devices.find(mac);
    if (it == m_engine->devices.end()) return false;
    it->second.model->SetFaults(faults);
    return true;
}

bool Simulator::SetDownloadMode(const Mac& mac, bool on) {
    std::lock_guard<std::mutex> lock(m_engine->mu);
    auto it = m_engine->devices.find(mac);
    if (it == m_engine->devices.end()) return false;
    it->second.model->SetDownloadMode(on);
    return true;
}

DeviceCounters Simulator::Counters(const Mac& mac) const {
    std::lock_guard<std::mutex> lock(m_engine->mu);
    auto it = m_engine->devices.find(mac);
    if (it == m_engine->devices.end()) return {};
    return it->second.model->Counters();
}

DeviceState Simulator::State(const Mac& mac) const {
    std::lock_guard<std::mutex> lock(m_engine->mu);
    auto it = m_engine->devices.find(mac);
    if (it == m_engine->devices.end()) return {};
    DeviceState s = it->second.model->State(m_engine->Now());
    s.segment = it->second.linkName;
    s.attached = m_engine->Running() && !it->second.vanished;
    return s;
}

std::vector<FrameLogEntry> Simulator::FrameLog(const Mac& mac) const {
    std::lock_guard<std::mutex> lock(m_engine->mu);
    auto it = m_engine->devices.find(mac);
    if (it == m_engine->devices.end()) return {};
    const auto& log = it->second.model->Log();
    return std::vector<FrameLogEntry>(log.begin(), log.end());
}

void Simulator::ClearLogs() {
    std::lock_guard<std::mutex> lock(m_engine->mu);
    for (auto& [mac, slot] : m_engine->devices) slot.model->ClearLog();
}

void Simulator::SetFrameLogging(bool on) {
    std::lock_guard<std::mutex> lock(m_engine->mu);
    m_engine->logging = on;
    for (auto& [mac, slot] : m_engine->devices) slot.model->SetLogging(on);
}

void Simulator::SetFrameLogSink(std::function<void(const std::string& line)> sink) {
    std::lock_guard<std::mutex> lock(m_engine->mu);
    m_engine->sink = std::move(sink);
}

}  // namespace kvr::sim
