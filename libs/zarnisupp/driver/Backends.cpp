// The process's backends: the PC's interfaces, then the virtual segments.
#include "PacketDriver.h"

namespace kvr::zs {

std::vector<std::unique_ptr<Backend>>& Backends() {
    static std::vector<std::unique_ptr<Backend>> backends = [] {
        std::vector<std::unique_ptr<Backend>> v;
        v.push_back(MakePcapBackend());
        v.push_back(MakeVsegBackend());
        return v;
    }();
    return backends;
}

void SetBackends(std::vector<std::unique_ptr<Backend>> backends) { Backends() = std::move(backends); }

Backend* BackendFor(const std::string& name) {
    for (auto& b : Backends())
        if (b && b->Owns(name)) return b.get();
    return nullptr;
}

}  // namespace kvr::zs
