#pragma once
// The library's end of kvr-rawhelper (see helper/HelperProtocol.h): one helper
// process holding one open adapter for a process that may not open it itself.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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
    // Hands the frame to the helper without waiting for its answer: true when the
    // helper took it. A frame the helper refuses or fails to send is reported by the
    // next Send or Read (see Refused): that Send sends nothing and returns false,
    // that Read returns Refused; errno is then ECOMM.
    bool Send(const std::uint8_t* frame, std::size_t length, std::string* error = nullptr);
    // Takes one relayed frame without blocking; Refused once for a refused frame
    // (before any frame), Gone once the helper has ended.
    ReadResult Read(std::uint8_t* out, std::size_t capacity, std::size_t* length);
    // Polls readable when a frame, a refusal to report or the helper's end is there.
    int FramesFd() const { return m_frames; }

private:
    HelperLink() = default;
    // Sends one request and waits for its reply (and those of the frames before it).
    bool Call(const std::vector<std::uint8_t>& request, std::string* error);
    // Reads one reply: 1 when read (ok, else the helper's reason in why), 0 when
    // none is there yet (only without wait), -1 when the helper ended or hangs.
    int NextReply(bool wait, bool& ok, std::string& why);
    // Takes the answers to sent frames, waiting until at most `owed` are outstanding;
    // false when the helper ended or hangs.
    bool Collect(int owed);
    // Reports a refused frame once: true with its reason in error and errno ECOMM.
    bool TakeRefusal(std::string* error);

    pid_t m_pid = -1;
    int m_requests = -1;
    int m_frames = -1;
    int m_unanswered = 0;   // frames sent whose answer has not been read
    bool m_refused = false;  // a frame was refused and that is not reported yet
    std::string m_refusal;   // why (the first one, when several were)
};

// Where the library finds the helper: beside the library's own file.
std::string DefaultHelperPath();

}  // namespace kvr::zs
