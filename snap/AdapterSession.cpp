#include "AdapterSession.h"

#include <utility>

#include "SnapLink.h"

namespace kvr {

AdapterSession::AdapterSession(const std::string& description) : m_description(description) {
    SnapLink& link = CurrentSnapLink();
    std::int32_t hNIC = -1;
    if (link.Open(description, hNIC) && hNIC != -1) {
        m_link = &link;
        m_hNIC = hNIC;
    }
}

AdapterSession::~AdapterSession() { Close(); }

AdapterSession::AdapterSession(AdapterSession&& other) noexcept
    : m_link(std::exchange(other.m_link, nullptr)),
      m_hNIC(std::exchange(other.m_hNIC, -1)),
      m_description(std::move(other.m_description)) {}

AdapterSession& AdapterSession::operator=(AdapterSession&& other) noexcept {
    if (this != &other) {
        Close();
        m_link = std::exchange(other.m_link, nullptr);
        m_hNIC = std::exchange(other.m_hNIC, -1);
        m_description = std::move(other.m_description);
    }
    return *this;
}

void AdapterSession::Close() {
    if (m_hNIC == -1 || !m_link) return;
    const std::int32_t hNIC = std::exchange(m_hNIC, -1);
    SnapLink* link = std::exchange(m_link, nullptr);
    try {
        link->Close(hNIC);
    } catch (...) {
        // Closing never throws out of a destructor; the link logs its own failures.
    }
}

}  // namespace kvr
