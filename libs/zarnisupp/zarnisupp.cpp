// The adapter support library's exports over the packet-driver layer.
//
// The adapter table holds one record per Ethernet adapter of the last scan.
// An open adapter keeps 32 read requests: receiving arms every idle one and
// polls the oldest, so frames come out in arrival order, one per call; the
// frames themselves wait in the system's queue (kernel capture buffer or the
// station queue of a virtual segment), so bursts are not lost between polls.
#include "zarnisupp.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <array>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "ByteReader.h"
#include "driver/PacketDriver.h"

namespace {

using namespace kvr::zs;

constexpr std::int32_t kVersion = 0x00010032;
constexpr std::size_t kTextSize = 512;  // description and name, NUL included
constexpr std::size_t kReadRequests = 32;
constexpr std::size_t kSsidMax = 32;
constexpr std::size_t kWepKeyMax = 16;

// Read block: frame length at 48, capacity at 52, frame from 56.
constexpr std::size_t kBlockSize = 1570;
constexpr std::size_t kBlockLength = 48;
constexpr std::size_t kBlockCapacity = 52;
constexpr std::size_t kBlockFrame = 56;

void PutU32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

std::uint32_t GetU32(const std::uint8_t* p, std::size_t size, std::size_t offset, bool& ok) {
    kvr::ByteReader r(p, size);
    r.Seek(offset);
    std::uint32_t v = r.U32();
    ok = r.Ok();
    return v;
}

struct ReadRequest {
    std::array<std::uint8_t, kBlockSize> block{};
    std::uint32_t bytesRead = 0;

    void Reset() {
        block.fill(0);
        PutU32(block.data() + kBlockCapacity, static_cast<std::uint32_t>(kMaxFrame));
        bytesRead = 0;
    }
};

struct AdapterRecord {
    std::string description;
    std::string name;
    bool wireless = false;
    bool connected = false;
    Mac hardware{};
    bool hasIp = false;
    std::unique_ptr<Port> port;  // the driver handle; null while closed
    std::deque<std::unique_ptr<ReadRequest>> freeQueue;
    std::deque<std::unique_ptr<ReadRequest>> pendingQueue;

    ~AdapterRecord() { Close(); }

    bool IsOpen() const { return port != nullptr; }

    void Close() {
        freeQueue.clear();
        pendingQueue.clear();  // reads in progress are dropped with the capture
        port.reset();
    }
};

struct Library {
    std::mutex lock;
    std::vector<std::unique_ptr<AdapterRecord>> table;
    ~Library() {
        std::lock_guard<std::mutex> g(lock);
        table.clear();
    }
};

Library& Lib() {
    static Library lib;
    return lib;
}

AdapterRecord* Item(std::int32_t index) {
    auto& t = Lib().table;
    const auto i = static_cast<std::uint32_t>(index);
    return i < t.size() ? t[i].get() : nullptr;
}

std::unique_ptr<Port> DriverOpen(const std::string& name) {
    Backend* b = BackendFor(name);
    return b ? b->Open(name) : nullptr;
}

bool PlatformVersionKnown() {
    utsname u{};
    return ::uname(&u) == 0;
}

// One NDIS-style request. A closed adapter is opened for this request only (for
// requests, not for receiving: asking an adapter about itself needs no raw access)
// and closed again.
bool NdisRequest(AdapterRecord& r, bool set, std::uint32_t oid, std::uint8_t* buffer, std::uint32_t length,
                 std::int32_t* status) {
    if (r.name.empty()) return false;
    std::unique_ptr<Port> temporary;
    Port* port = r.port.get();
    if (!port) {
        temporary = DriverOpen(r.name);
        if (!temporary) return false;
        port = temporary.get();
    }
    const std::uint32_t st = port->Request(set, oid, buffer, length);
    if (status) *status = static_cast<std::int32_t>(st);
    return st == kStatusSuccess;
}

bool QueryU32(AdapterRecord& r, std::uint32_t oid, std::uint32_t& value) {
    std::uint8_t buf[4] = {};
    if (!NdisRequest(r, false, oid, buf, sizeof buf, nullptr)) return false;
    bool ok = false;
    value = GetU32(buf, sizeof buf, 0, ok);
    return ok;
}

bool OpenAdapter(AdapterRecord& r) {
    if (r.port) return true;
    std::unique_ptr<Port> port = DriverOpen(r.name);
    if (!port) return false;
    std::uint8_t filter[4];
    PutU32(filter, kFilterDirected | kFilterBroadcast);
    if (port->Request(true, OID_GEN_CURRENT_PACKET_FILTER, filter, sizeof filter) != kStatusSuccess)
        return false;  // the handle is closed again with port
    // Requests that cannot be made are left out; the adapter still receives with the others.
    std::deque<std::unique_ptr<ReadRequest>> requests;
    for (std::size_t i = 0; i < kReadRequests; ++i) {
        std::unique_ptr<ReadRequest> req(new (std::nothrow) ReadRequest);
        if (req) requests.push_back(std::move(req));
    }
    if (requests.empty()) return false;
    r.port = std::move(port);
    r.freeQueue = std::move(requests);
    return true;
}

// Builds one record from the driver's answers; false when the medium in use
// cannot be learnt (which fails the scan).
bool FillRecord(AdapterRecord& rec, std::uint32_t& medium) {
    if (!rec.description.empty() && !rec.name.empty()) {
        if (std::unique_ptr<Port> port = DriverOpen(rec.name)) {
            std::uint8_t buf[6] = {};
            if (port->Request(false, OID_GEN_PHYSICAL_MEDIUM, buf, 4) == kStatusSuccess) {
                bool ok = false;
                rec.wireless = GetU32(buf, 4, 0, ok) == kPhysicalWirelessLan && ok;
            }
            std::memset(buf, 0, sizeof buf);
            if (port->Request(false, OID_GEN_MEDIA_CONNECT_STATUS, buf, 4) == kStatusSuccess) {
                bool ok = false;
                rec.connected = GetU32(buf, 4, 0, ok) == kMediaConnected && ok;
                std::memset(buf, 0, sizeof buf);
                if (port->Request(false, OID_802_3_PERMANENT_ADDRESS, buf, 6) == kStatusSuccess)
                    std::copy(buf, buf + 6, rec.hardware.begin());
            }
        }
    }
    return QueryU32(rec, OID_GEN_MEDIA_IN_USE, medium);
}

std::string Bounded(const std::string& s) { return s.size() < kTextSize ? s : s.substr(0, kTextSize - 1); }

// KVR_ADAPTERS=virtual lists only the virtual segments, =real only the
// machine's interfaces; unset (or anything else) lists both. Tests that work
// against simulated devices set "virtual" so that they never put frames on the
// machine's real network and never wait out collection windows on it.
bool BackendWanted(const Backend& backend) {
    const char* env = std::getenv("KVR_ADAPTERS");
    if (!env) return true;
    const std::string want(env);
    const std::string kind(backend.Kind());
    if (want == "virtual") return kind == "vseg";
    if (want == "real") return kind != "vseg";
    return true;
}

bool Scan(std::int32_t* count) {
    auto& table = Lib().table;
    table.clear();
    for (auto& backend : Backends()) {
        if (!backend || !BackendWanted(*backend)) continue;
        std::vector<AdapterEntry> entries;
        if (!backend->Enumerate(entries)) return false;
        for (const auto& e : entries) {
            auto rec = std::make_unique<AdapterRecord>();
            rec->description = Bounded(e.description);
            rec->name = Bounded(e.name);
            std::uint32_t medium = 0;
            if (!FillRecord(*rec, medium)) return false;
            if (medium == kMediumEthernet) table.push_back(std::move(rec));
        }
    }
    if (!table.empty()) {
        std::vector<Mac> withIp;
        for (auto& backend : Backends())
            if (backend && BackendWanted(*backend))
                for (const Mac& m : backend->AddressesWithIp()) withIp.push_back(m);
        for (auto& rec : table)
            rec->hasIp = std::find(withIp.begin(), withIp.end(), rec->hardware) != withIp.end();
    }
    *count = static_cast<std::int32_t>(table.size());
    return true;
}

std::int32_t CopyText(std::int32_t index, char* buffer, std::int32_t size, bool description) {
    AdapterRecord* r = Item(index);
    if (!r || !buffer || size < static_cast<std::int32_t>(kTextSize)) return 0;
    const std::string& s = description ? r->description : r->name;
    std::memcpy(buffer, s.c_str(), s.size() + 1);
    return 1;
}

std::int32_t Flag(std::int32_t index, std::int32_t* value, bool AdapterRecord::*field) {
    AdapterRecord* r = Item(index);
    if (!r || !value) return 0;
    *value = (r->*field) ? 1 : 0;
    return 1;
}

std::int32_t Receive(std::int32_t index, std::int32_t* noFrame, std::int32_t* frameLength, std::uint8_t* frame) {
    AdapterRecord* r = Item(index);
    if (!r || !noFrame || !frameLength || !frame || !r->port) return 0;
    // Arm every idle request; each is started once per call.
    for (std::size_t n = r->freeQueue.size(); n > 0; --n) {
        auto req = std::move(r->freeQueue.front());
        r->freeQueue.pop_front();
        req->Reset();
        r->pendingQueue.push_back(std::move(req));
    }
    if (r->pendingQueue.empty()) return 0;
    ReadRequest& req = *r->pendingQueue.front();
    bool ok = false;
    const std::uint32_t capacity = GetU32(req.block.data(), kBlockSize, kBlockCapacity, ok);
    std::size_t got = 0;
    const ReadResult rr = r->port->Read(req.block.data() + kBlockFrame,
                                        std::min<std::size_t>(capacity, kBlockSize - kBlockFrame), &got);
    if (rr == ReadResult::Empty) {
        *noFrame = 1;
        *frameLength = 0;
        return 1;
    }
    auto done = std::move(r->pendingQueue.front());
    r->pendingQueue.pop_front();
    r->freeQueue.push_back(std::move(done));
    ReadRequest& d = *r->freeQueue.back();
    if (rr == ReadResult::Gone || rr == ReadResult::Refused) {
        // The interface went away, or a frame already reported sent was refused:
        // report it rather than look idle.
        return 0;
    }
    PutU32(d.block.data() + kBlockLength, static_cast<std::uint32_t>(got));
    d.bytesRead = static_cast<std::uint32_t>(got + kBlockFrame);
    const std::uint32_t length = GetU32(d.block.data(), kBlockSize, kBlockLength, ok);
    if (!ok || length > kMaxFrame || length > capacity) {
        *noFrame = 1;
        *frameLength = 0;
        return 1;
    }
    std::memcpy(frame, d.block.data() + kBlockFrame, length);
    *noFrame = 0;
    *frameLength = static_cast<std::int32_t>(length);
    return 1;
}

std::int32_t GetTyped(std::int32_t index, std::uint32_t oid, std::int32_t* value) {
    AdapterRecord* r = Item(index);
    if (!r || !value || !PlatformVersionKnown()) return 0;
    std::uint8_t buf[4] = {};
    if (!NdisRequest(*r, false, oid, buf, sizeof buf, nullptr)) return 0;
    bool ok = false;
    *value = static_cast<std::int32_t>(GetU32(buf, sizeof buf, 0, ok));
    return ok ? 1 : 0;
}

std::int32_t SetTyped(std::int32_t index, std::uint32_t oid, std::int32_t value) {
    AdapterRecord* r = Item(index);
    if (!r || !PlatformVersionKnown()) return 0;
    std::uint8_t buf[4];
    PutU32(buf, static_cast<std::uint32_t>(value));
    return NdisRequest(*r, true, oid, buf, sizeof buf, nullptr) ? 1 : 0;
}

// Runs an export body under the library's lock; nothing escapes as an exception.
template <typename F>
std::int32_t Locked(F&& body) {
    try {
        std::lock_guard<std::mutex> g(Lib().lock);
        return body();
    } catch (...) {
        return 0;
    }
}

}  // namespace

extern "C" {

ZARNISUPP_API int32_t ZARNISUPP_GetVersion(void) { return kVersion; }

ZARNISUPP_API int32_t ZARNISUPP_ScanForEthernetAdapters(int32_t* count, int32_t /*waitForDriver*/) {
    // The drivers here are ready whenever the library is loaded: no wait for them.
    return Locked([&] { return count && Scan(count) ? 1 : 0; });
}

ZARNISUPP_API int32_t ZARNISUPP_GetAdapterDesc(int32_t index, char* buffer, int32_t bufferSize) {
    return Locked([&] { return CopyText(index, buffer, bufferSize, true); });
}

ZARNISUPP_API int32_t ZARNISUPP_GetAdapterName(int32_t index, char* buffer, int32_t bufferSize) {
    return Locked([&] { return CopyText(index, buffer, bufferSize, false); });
}

ZARNISUPP_API int32_t ZARNISUPP_IsWlanAdapter(int32_t index, int32_t* value) {
    return Locked([&] { return Flag(index, value, &AdapterRecord::wireless); });
}

ZARNISUPP_API int32_t ZARNISUPP_IsAdapterConnected(int32_t index, int32_t* value) {
    return Locked([&] { return Flag(index, value, &AdapterRecord::connected); });
}

ZARNISUPP_API int32_t ZARNISUPP_HasAdapterIP(int32_t index, int32_t* value) {
    return Locked([&] { return Flag(index, value, &AdapterRecord::hasIp); });
}

ZARNISUPP_API int32_t ZARNISUPP_GetAdapterMacAddress(int32_t index, uint8_t* address) {
    return Locked([&] {
        AdapterRecord* r = Item(index);
        if (!r || !address) return 0;
        std::copy(r->hardware.begin(), r->hardware.end(), address);
        return 1;
    });
}

ZARNISUPP_API int32_t ZARNISUPP_OpenAdapter(int32_t index) {
    return Locked([&] {
        AdapterRecord* r = Item(index);
        return r && OpenAdapter(*r) ? 1 : 0;
    });
}

ZARNISUPP_API int32_t ZARNISUPP_CloseAdapter(int32_t index) {
    return Locked([&] {
        AdapterRecord* r = Item(index);
        if (!r) return 0;
        r->Close();
        return 1;
    });
}

ZARNISUPP_API int32_t ZARNISUPP_IsOpen(int32_t index) {
    return Locked([&] {
        AdapterRecord* r = Item(index);
        return r && r->IsOpen() ? 1 : 0;
    });
}

ZARNISUPP_API int32_t ZARNISUPP_GetOid(int32_t index, uint32_t oid, void* buffer, int32_t length, int32_t* status) {
    return Locked([&] {
        AdapterRecord* r = Item(index);
        if (!r || !buffer || !status || length < 0) return 0;
        return NdisRequest(*r, false, oid, static_cast<std::uint8_t*>(buffer), static_cast<std::uint32_t>(length),
                           status)
                   ? 1
                   : 0;
    });
}

ZARNISUPP_API int32_t ZARNISUPP_SetOid(int32_t index, uint32_t oid, void* buffer, int32_t length, int32_t* status) {
    return Locked([&] {
        AdapterRecord* r = Item(index);
        if (!r || !buffer || !status || length < 0) return 0;
        return NdisRequest(*r, true, oid, static_cast<std::uint8_t*>(buffer), static_cast<std::uint32_t>(length),
                           status)
                   ? 1
                   : 0;
    });
}

ZARNISUPP_API int32_t ZARNISUPP_GetEncryptionStatus(int32_t index, int32_t* value) {
    return Locked([&] { return GetTyped(index, OID_802_11_WEP_STATUS, value); });
}
ZARNISUPP_API int32_t ZARNISUPP_SetEncryptionStatus(int32_t index, int32_t value) {
    return Locked([&] { return SetTyped(index, OID_802_11_WEP_STATUS, value); });
}
ZARNISUPP_API int32_t ZARNISUPP_GetInfrastructureMode(int32_t index, int32_t* value) {
    return Locked([&] { return GetTyped(index, OID_802_11_INFRASTRUCTURE_MODE, value); });
}
ZARNISUPP_API int32_t ZARNISUPP_SetInfrastructureMode(int32_t index, int32_t value) {
    return Locked([&] { return SetTyped(index, OID_802_11_INFRASTRUCTURE_MODE, value); });
}
ZARNISUPP_API int32_t ZARNISUPP_GetAuthenticationMode(int32_t index, int32_t* value) {
    return Locked([&] { return GetTyped(index, OID_802_11_AUTHENTICATION_MODE, value); });
}
ZARNISUPP_API int32_t ZARNISUPP_SetAuthenticationMode(int32_t index, int32_t value) {
    return Locked([&] { return SetTyped(index, OID_802_11_AUTHENTICATION_MODE, value); });
}

ZARNISUPP_API int32_t ZARNISUPP_SetWEP(int32_t index, int32_t keyIndex, int32_t keyLength, const uint8_t* key) {
    return Locked([&] {
        AdapterRecord* r = Item(index);
        // The record holds 16 key bytes: a longer key would run past it.
        if (!r || !key || keyLength < 0 || keyLength > static_cast<std::int32_t>(kWepKeyMax) ||
            !PlatformVersionKnown())
            return 0;
        std::uint8_t record[28] = {};
        PutU32(record, sizeof record);
        PutU32(record + 4, static_cast<std::uint32_t>(keyIndex));
        PutU32(record + 8, static_cast<std::uint32_t>(keyLength));
        std::memcpy(record + 12, key, static_cast<std::size_t>(keyLength));
        return NdisRequest(*r, true, OID_802_11_ADD_WEP, record, sizeof record, nullptr) ? 1 : 0;
    });
}

ZARNISUPP_API int32_t ZARNISUPP_GetSSID(int32_t index, int32_t* ssidLength, uint8_t* ssid) {
    return Locked([&] {
        AdapterRecord* r = Item(index);
        if (!r || !ssidLength || !ssid || !PlatformVersionKnown()) return 0;
        std::uint8_t record[36] = {};
        if (!NdisRequest(*r, false, OID_802_11_SSID, record, sizeof record, nullptr)) return 0;
        bool ok = false;
        const std::uint32_t n = GetU32(record, sizeof record, 0, ok);
        // A length beyond the 32-byte field is not an SSID: refuse it instead of
        // copying past the caller's buffer.
        if (!ok || n > kSsidMax) return 0;
        *ssidLength = static_cast<std::int32_t>(n);
        std::memcpy(ssid, record + 4, n);
        return 1;
    });
}

ZARNISUPP_API int32_t ZARNISUPP_SetSSID(int32_t index, int32_t ssidLength, const uint8_t* ssid) {
    return Locked([&] {
        AdapterRecord* r = Item(index);
        if (!r || !ssid || ssidLength < 0 || ssidLength > static_cast<std::int32_t>(kSsidMax) ||
            !PlatformVersionKnown())
            return 0;
        std::uint8_t record[36] = {};
        PutU32(record, static_cast<std::uint32_t>(ssidLength));
        std::memcpy(record + 4, ssid, static_cast<std::size_t>(ssidLength));
        return NdisRequest(*r, true, OID_802_11_SSID, record, sizeof record, nullptr) ? 1 : 0;
    });
}

ZARNISUPP_API int32_t ZARNISUPP_ReceiveRawPacket(int32_t index, int32_t* noFrame, int32_t* frameLength,
                                                 uint8_t* frame) {
    return Locked([&] { return Receive(index, noFrame, frameLength, frame); });
}

ZARNISUPP_API int32_t ZARNISUPP_SendRawPacket(int32_t index, int32_t frameLength, const uint8_t* frame) {
    return Locked([&] {
        AdapterRecord* r = Item(index);
        if (!r || !frame || !r->port || frameLength < static_cast<std::int32_t>(kMinFrame) ||
            frameLength > static_cast<std::int32_t>(kMaxFrame))
            return 0;
        return r->port->Send(frame, static_cast<std::size_t>(frameLength)) ? 1 : 0;
    });
}

ZARNISUPP_API int32_t ZARNISUPP_IsWindowsXP(int32_t* value) {
    return Locked([&] {
        if (!value || !PlatformVersionKnown()) return 0;
        *value = 0;
        return 1;
    });
}

ZARNISUPP_API int32_t ZARNISUPP_WaitForRawPacket(int32_t index, int32_t timeoutMs) {
    pollfd p[2] = {{-1, POLLIN, 0}, {-1, POLLIN, 0}};
    int count = 0;
    const std::int32_t found = Locked([&] {
        AdapterRecord* r = Item(index);
        int fds[2] = {-1, -1};
        if (!r || !r->port) return 0;
        const int n = r->port->PollFds(fds);
        // Wait on duplicates so that a close by another thread cannot pull the
        // descriptors away (or hand their numbers to something else) meanwhile.
        for (int i = 0; i < n && i < 2; ++i) {
            p[count].fd = ::fcntl(fds[i], F_DUPFD_CLOEXEC, 0);
            if (p[count].fd >= 0) ++count;
        }
        return count > 0 ? 1 : 0;
    });
    if (!found) return 0;
    const int total = std::max<std::int32_t>(timeoutMs, 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(total);
    int n;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        n = ::poll(p, static_cast<nfds_t>(count), static_cast<int>(std::max<long long>(0, left.count())));
        if (n >= 0 || errno != EINTR) break;
    }
    for (int i = 0; i < count; ++i) ::close(p[i].fd);
    return n > 0 ? 1 : 0;
}

}  // extern "C"
