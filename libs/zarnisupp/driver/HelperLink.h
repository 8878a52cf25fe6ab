#pragma once
// The library's end of kvr-rawhelper (see helper/HelperProtocol.h): one helper
// process holding one open adapter for a process that may not open it itself.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "PacketDriver.h"

namespace kvr::zs {

class HelperLink {
public:
    // Starts the helper at path and opens the adapter; null with the reason in
    // error when the helper cannot be started or refuses.
    static std::unique_ptr<HelperLink> Start(const std::string& path, const std::string& adapter, bool promiscuous,
                                             std::string* error);
    ~HelperLink();
    HelperLink(const HelperLink&) = delete;
    HelperLink& operator=(const HelperLink&) = delete;

    bool SetFilter(std::uint32_t filter, std::string* error = nullptr);
    bool Send(const std::uint8_t* frame, std::size_t length, std::string* error = nullptr);
    // Takes one relayed frame without blocking; Gone once the helper has ended.
    ReadResult Read(std::uint8_t* out, std::size_t capacity, std::size_t* length);
    // Polls readable when a frame (or the helper's end) is there.
    int FramesFd() const { return m_frames; }

private:
    HelperLink() = default;
    // Sends one request and waits for its reply.
    bool Call(const std::vector<std::uint8_t>& request, std::string* error);

    pid_t m_pid = -1;
    int m_requests = -1;
    int m_frames = -1;
};

// Where the library finds the helper: beside the library's own file.
std::string DefaultHelperPath();

}  // namespace kvr::zs
