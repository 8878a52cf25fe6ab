#pragma once
// The library's end of kvr-rawhelper (see helper/HelperProtocol.h): one helper
// process holding one open adapter for a process that may not open it itself.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "HelperProtocol.h"
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
    // Hands the frame to the helper without waiting: true when the helper took
    // it. A frame the helper then refuses is reported once (errno ECOMM) by the
    // next Send that finds the refusal there (it sends nothing and returns false)
    // or the next Read that comes to the helper's word of it on the frames socket
    // (Refused; a wait for frames wakes for it), whichever is first. Once a Read
    // found the helper ended, every Send fails.
    bool Send(const std::uint8_t* frame, std::size_t length, std::string* error = nullptr);
    // Takes one relayed frame without blocking; Refused once for a refused frame,
    // Gone once the helper has ended.
    ReadResult Read(std::uint8_t* out, std::size_t capacity, std::size_t* length);
    // Polls readable when a frame, a refusal or the helper's end is there.
    int FramesFd() const { return m_frames; }

private:
    HelperLink() = default;
    // Sends one request and waits for its reply.
    bool Call(const std::vector<std::uint8_t>& request, std::string* error);
    // Reads one reply; false with the reason in why when none is there (only
    // without wait) or the helper ended or hangs.
    bool NextReply(bool wait, helper::Reply& reply, std::string& why);
    void Refuse(const std::string& why);
    // Reports a refused frame once: true with its reason in error and errno ECOMM.
    bool TakeRefusal(std::string* error);

    pid_t m_pid = -1;
    int m_requests = -1;
    int m_frames = -1;
    bool m_refused = false;  // a frame was refused and that is not reported yet
    std::string m_refusal;   // why (the first one, when several were)
    int m_heardEarly = 0;    // refusals a SetFilter read whose word is still on the frames socket
    bool m_ended = false;    // a Read found the helper's end
};

// Where the library finds the helper: beside the library's own file.
std::string DefaultHelperPath();

}  // namespace kvr::zs
