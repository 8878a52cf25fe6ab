#include "SimSegments.h"

#include <unistd.h>

#include <cstdlib>

#include "Seams.h"
#include "modZarniSupp.h"

namespace kvr::test {

SimSegments::SimSegments(std::string prefix) : m_prefix(std::move(prefix)) {
    ::setenv("KVR_ADAPTERS", "virtual", 1);
}

SimSegments::~SimSegments() {
    StopAll();
    ::unsetenv("KVR_ADAPTERS");
}

std::string SimSegments::Segment(const std::string& tag) const {
    return m_prefix + std::to_string(::getpid()) + tag;
}

kvr::sim::Simulator* SimSegments::Start(const std::string& tag, const std::vector<kvr::sim::DeviceConfig>& devices,
                                        std::string* error) {
    std::string ignored;
    std::string& why = error ? *error : ignored;
    if (auto old = m_sims.find(tag); old != m_sims.end()) {
        old->second->Stop();
        m_sims.erase(old);
    }
    auto sim = std::make_unique<kvr::sim::Simulator>();
    for (const auto& d : devices)
        if (!sim->AddDevice(d, &why)) return nullptr;
    if (!sim->StartOnSegment(Segment(tag), &why)) return nullptr;
    return (m_sims[tag] = std::move(sim)).get();
}

void SimSegments::StopAll() {
    for (auto& s : m_sims) s.second->Stop();
    m_sims.clear();
}

std::int32_t SimSegments::ScanAdapters() {
    kvr::Clock& before = kvr::CurrentClock();
    kvr::FakeClock fast;
    kvr::SetClock(&fast);
    const std::int32_t n = GetNumAdapters();
    kvr::SetClock(&before);
    return n;
}

}  // namespace kvr::test
