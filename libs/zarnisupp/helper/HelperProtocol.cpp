#include "HelperProtocol.h"

#include <algorithm>

#include "ByteReader.h"
#include "PacketDriver.h"

namespace kvr::zs::helper {
namespace {

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

bool Fail(std::string& error, const char* text) {
    error = text;
    return false;
}

std::vector<std::uint8_t> TextReply(std::uint8_t kind, const std::string& text) {
    const std::size_t n = std::min<std::size_t>(text.size(), 512);
    std::vector<std::uint8_t> out(1 + n);
    out[0] = kind;
    std::copy(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n), out.begin() + 1);
    return out;
}

}  // namespace

bool ValidAdapterName(const std::string& name) {
    if (name.empty() || name.size() > 15 || name == "." || name == "..") return false;
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F || c == '/' || c == ':') return false;
    }
    return true;
}

bool ParseRequest(const std::uint8_t* data, std::size_t size, Request& out, std::string& error) {
    kvr::ByteReader r(data, size);
    const std::uint8_t kind = r.U8();
    if (!r.Ok()) return Fail(error, "empty request");
    out = Request{};
    switch (kind) {
    case static_cast<std::uint8_t>(Kind::Hello):
    case static_cast<std::uint8_t>(Kind::Filter):
        out.kind = static_cast<Kind>(kind);
        out.value = r.U32();
        if (!r.Ok() || r.Remaining() != 0) return Fail(error, "request of the wrong length");
        return true;
    case static_cast<std::uint8_t>(Kind::Open): {
        out.kind = Kind::Open;
        const std::uint8_t promiscuous = r.U8();
        const std::uint8_t n = r.U8();
        out.name = r.Text(n);
        if (!r.Ok() || r.Remaining() != 0) return Fail(error, "request of the wrong length");
        if (promiscuous > 1) return Fail(error, "promiscuous is neither 0 nor 1");
        if (!ValidAdapterName(out.name)) return Fail(error, "not an adapter name");
        out.promiscuous = promiscuous == 1;
        return true;
    }
    case static_cast<std::uint8_t>(Kind::Send):
        out.kind = Kind::Send;
        if (r.Remaining() < kMinFrame || r.Remaining() > kMaxFrame)
            return Fail(error, "a frame must be 14 to 1514 bytes long");
        out.frame = r.View(r.Remaining());
        return r.Ok() || Fail(error, "request of the wrong length");
    default:
        return Fail(error, "unknown request");
    }
}

std::vector<std::uint8_t> HelloRequest() {
    std::vector<std::uint8_t> out{static_cast<std::uint8_t>(Kind::Hello)};
    PutU32(out, kProtocolVersion);
    return out;
}

std::vector<std::uint8_t> OpenRequest(const std::string& name, bool promiscuous) {
    const std::size_t n = std::min<std::size_t>(name.size(), 255);
    std::vector<std::uint8_t> out(3 + n);
    out[0] = static_cast<std::uint8_t>(Kind::Open);
    out[1] = promiscuous ? 1 : 0;
    out[2] = static_cast<std::uint8_t>(n);
    std::copy(name.begin(), name.begin() + static_cast<std::ptrdiff_t>(n), out.begin() + 3);
    return out;
}

std::vector<std::uint8_t> FilterRequest(std::uint32_t filter) {
    std::vector<std::uint8_t> out{static_cast<std::uint8_t>(Kind::Filter)};
    PutU32(out, filter);
    return out;
}

std::vector<std::uint8_t> SendRequest(const std::uint8_t* frame, std::size_t length) {
    std::vector<std::uint8_t> out(1 + length);
    out[0] = static_cast<std::uint8_t>(Kind::Send);
    std::copy(frame, frame + length, out.begin() + 1);
    return out;
}

std::vector<std::uint8_t> OkReply() { return {'K'}; }

std::vector<std::uint8_t> ErrorReply(const std::string& text) { return TextReply('E', text); }

std::vector<std::uint8_t> RefusalReply(const std::string& text) { return TextReply('R', text); }

Reply ParseReply(const std::uint8_t* data, std::size_t size, std::string& error) {
    kvr::ByteReader r(data, size);
    const std::uint8_t kind = r.U8();
    if (!r.Ok()) return Fail(error, "the helper gave an empty reply"), Reply::Failed;
    if (kind == 'K' && r.Remaining() == 0) return Reply::Done;
    if (kind == 'E' || kind == 'R') {
        error = r.Text(r.Remaining());
        return kind == 'E' ? Reply::Failed : Reply::Refused;
    }
    return Fail(error, "the helper gave a reply of an unknown kind"), Reply::Failed;
}

}  // namespace kvr::zs::helper
