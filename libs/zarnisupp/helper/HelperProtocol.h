#pragma once
// The request protocol between the adapter library and kvr-rawhelper, the small
// program that holds raw access to network adapters for a process without it.
//
// The library starts one helper per open adapter and hands it two ends of
// SOCK_SEQPACKET socket pairs (one message = one request, reply or frame):
//   descriptor 3, requests: the library asks; the helper answers each hello,
//     open and filter request with one reply, in order, and a send only when
//     it refuses the frame;
//   descriptor 4, frames: the helper relays every received frame it keeps, one
//     frame per message, and the one byte 'R' after each refusal of a send (so
//     that a parent waiting for frames hears of it), nothing else.
// Requests (first byte the kind, numbers little-endian):
//   'H' u32 version                      hello; must come first, once
//   'O' u8 promiscuous, u8 n, n bytes    open the adapter of that name (once)
//   'F' u32 packet filter                select what the adapter keeps
//   'S' 14..1514 bytes                   send this frame unchanged
// Replies: 'K' (done) or 'E' followed by a text saying why not; to a send that
// did not go out, 'R' followed by that text.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kvr::zs::helper {

inline constexpr std::uint32_t kProtocolVersion = 2;
inline constexpr int kRequestFd = 3;
inline constexpr int kFramesFd = 4;
// Room for the largest request the protocol has (a send of a whole frame) and then some,
// so that a longer one is seen as too long rather than cut short.
inline constexpr std::size_t kMessageRoom = 2048;
inline constexpr const char* kProgramName = "kvr-rawhelper";
inline constexpr std::uint8_t kRefusedNotice = 'R';

enum class Kind : std::uint8_t { Hello = 'H', Open = 'O', Filter = 'F', Send = 'S' };

struct Request {
    Kind kind = Kind::Hello;
    std::uint32_t value = 0;  // hello: version; filter: packet filter
    bool promiscuous = false;
    std::string name;
    std::span<const std::uint8_t> frame;  // into the parsed message
};

// A name the kernel accepts for an interface: 1..15 bytes, not "." or "..", no
// '/', ':', white space or control characters.
bool ValidAdapterName(const std::string& name);

// Reads one request; false with the reason in error when it is malformed.
bool ParseRequest(const std::uint8_t* data, std::size_t size, Request& out, std::string& error);

std::vector<std::uint8_t> HelloRequest();
std::vector<std::uint8_t> OpenRequest(const std::string& name, bool promiscuous);
std::vector<std::uint8_t> FilterRequest(std::uint32_t filter);
std::vector<std::uint8_t> SendRequest(const std::uint8_t* frame, std::size_t length);

std::vector<std::uint8_t> OkReply();
std::vector<std::uint8_t> ErrorReply(const std::string& text);
std::vector<std::uint8_t> RefusalReply(const std::string& text);
enum class Reply { Done, Failed, Refused };
// Reads a reply; for Failed and Refused the helper's text (or what was wrong
// with the reply, then Failed) is in error.
Reply ParseReply(const std::uint8_t* data, std::size_t size, std::string& error);

}  // namespace kvr::zs::helper
