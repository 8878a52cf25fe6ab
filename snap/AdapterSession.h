#pragma once
// An adapter opened for raw frames for the length of one operation. It is
// opened by its description through the link seam and closed through the
// same link when the session ends, also when the operation ends early or
// throws. A session is a value: it can be moved (the adapter goes with it),
// never copied.
#include <cstdint>
#include <string>

namespace kvr {

class SnapLink;

class AdapterSession {
public:
    // No adapter.
    AdapterSession() = default;
    // Opens the adapter with this description (OpenNdisRaw, then
    // OpenNdisDeviceByDesc, through the current link). Check IsOpen().
    explicit AdapterSession(const std::string& description);
    ~AdapterSession();

    AdapterSession(AdapterSession&& other) noexcept;
    AdapterSession& operator=(AdapterSession&& other) noexcept;
    AdapterSession(const AdapterSession&) = delete;
    AdapterSession& operator=(const AdapterSession&) = delete;

    bool IsOpen() const { return m_hNIC != -1; }
    // The NIC handle for WriteNDIS / ReadNDIS and everything built on them; -1
    // when not open.
    std::int32_t Handle() const { return m_hNIC; }
    // The description it was opened by (also when opening failed).
    const std::string& Description() const { return m_description; }
    // Closes the adapter now (CloseNdisRaw through the link that opened it).
    // Nothing happens when it is not open.
    void Close();

private:
    SnapLink* m_link = nullptr;
    std::int32_t m_hNIC = -1;
    std::string m_description;
};

}  // namespace kvr
