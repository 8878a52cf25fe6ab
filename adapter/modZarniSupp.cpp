#include "modZarniSupp.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <span>

#include "HexText.h"
#include "RawAccess.h"
#include "RunTimeError.h"
#include "Seams.h"
#include "SnapCodec.h"
#include "ZarniLibs.h"
#include "basDebug.h"

namespace {

const kvr::ModuleLog Log("modZarniSupp");

constexpr std::size_t kMaxFrame = kvr::kSnapMaxFrame;  // largest frame we build
constexpr std::int64_t kReceiveWindowMs = 100;
constexpr long kScanPauseMs = 2000;
constexpr int kScanAttempts = 3;
constexpr std::int32_t kDescBufferSize = 1025;  // the library is told 1024

struct CacheEntry {
    std::int32_t handle = -1;
    std::string src;  // 12 hex digits; empty when free
};

struct ModuleState {
    bool initialised = false;
    std::int32_t adapterCount = -1;
    std::vector<CacheEntry> cache;  // element 0 exists and is never taken
    std::string currentSrc;
};

ModuleState& M() {
    static ModuleState m;
    return m;
}

// Logs a trapped run-time error the way every procedure does.
void LogTrapped(const char* procedure) { kvr::LogTrappedError(Log, procedure); }


}  // namespace

namespace kvr {

void ResetZarniSuppModule() { M() = ModuleState{}; }
std::int32_t ZarniSuppAdapterCount() { return M().adapterCount; }

}  // namespace kvr

std::int32_t OpenNdisRaw() {
    ModuleState& m = M();
    if (!m.initialised) {
        m.initialised = true;
        m.cache.assign(1, CacheEntry{});
        m.adapterCount = -1;
        Log("The version of the network I/F DLL is 0x" +
                kvr::HexUpper(static_cast<std::uint32_t>(kvr::zs::GetVersion())),
            kvr::LEVEL_WATCH);
    }
    return 1;
}

std::int32_t GetNumAdapters() {
    std::int32_t result = 0;
    try {
        if (!M().initialised) OpenNdisRaw();
        for (int attempt = 0; attempt < kScanAttempts; ++attempt) {
            std::int32_t waitForDriver = 0;
            if (attempt >= 1) {
                Log("Performing a retry of the request to get the number of network adapters.", kvr::LEVEL_USER);
                waitForDriver = 1;
            }
            std::int32_t count = 0;
            if (kvr::zs::ScanForEthernetAdapters(&count, waitForDriver) == 0) {
                Log("GetNumAdapters: ZARNISUPP_ScanForEthernetAdapters failed, code 0", kvr::LEVEL_ERROR);
            } else if (count > 0) {
                result = count;
                M().adapterCount = count;
            } else if (count == 0) {
                result = 0;
                Log("ZARNISUPP_ScanForEthernetAdapters indicates that there are no network adapters installed "
                    "in this PC.  pCount=" + std::to_string(count),
                    kvr::LEVEL_WARNING);
            } else {
                result = 0;
                Log("GetNumAdapters: ZARNISUPP_ScanForEthernetAdapters returned a value of " + std::to_string(count) +
                        " (0x" + kvr::HexUpper(static_cast<std::uint32_t>(count)) + " for the number of adapters.",
                    kvr::LEVEL_ERROR);
            }
            // The driver needs time after a scan, also after a good one;
            // virtual segments have no driver.
            if (!kvr::OnlyVirtualAdapters()) kvr::CurrentClock().SleepMs(kScanPauseMs);
            if (result > 0) break;
        }
    } catch (...) {
        LogTrapped("GetNumAdapters");
    }
    return result;
}

bool OpenNdisDeviceByDesc(std::int32_t& hNIC, const std::string& description) {
    static const std::string name = "OpenNdisDeviceByDesc";
    hNIC = -1;
    try {
        ModuleState& m = M();
        if (!m.initialised) OpenNdisRaw();
        Log(name + ": opening NIC '" + description + "'...", kvr::LEVEL_WATCH);

        std::int32_t found = -1;
        for (std::int32_t i = 0; i < m.adapterCount; ++i) {
            std::vector<char> buffer(kDescBufferSize, '\0');
            if (kvr::zs::GetAdapterDesc(i, buffer.data(), kDescBufferSize - 1) == 0) {
                Log(name + ": ZARNISUPP_GetAdapterDesc failed for Nic #" + std::to_string(i) + ".", kvr::LEVEL_WARNING);
                continue;
            }
            const void* nul = std::memchr(buffer.data(), '\0', buffer.size());
            if (!nul || nul == buffer.data()) continue;
            std::string desc(static_cast<const char*>(buffer.data()), static_cast<const char*>(nul));
            if (desc == description) {
                found = i;
                break;
            }
        }
        if (found < 0) {
            Log(name + ": device '" + description + "' was not found; failed to open device", kvr::LEVEL_WARNING);
            return false;
        }
        Log(name + ": NIC '" + description + "' is NIC #" + std::to_string(found), kvr::LEVEL_TRACE);

        std::array<std::uint8_t, 6> mac{};
        if (kvr::zs::GetAdapterMacAddress(found, mac.data()) != 0) {
            m.currentSrc = kvr::MacText(mac.data());
        } else {
            // Never let frames of this adapter carry another adapter's address:
            // without its own address the adapter cannot send (WriteNDIS says so).
            m.currentSrc.clear();
        }

        std::size_t entry = 0;
        for (std::size_t e = 1; e < m.cache.size() && entry == 0; ++e)
            if (m.cache[e].handle == found) entry = e;
        for (std::size_t e = 1; e < m.cache.size() && entry == 0; ++e)
            if (m.cache[e].handle == -1) {
                entry = e;
                m.cache[e].src.clear();
            }
        if (entry == 0) {
            m.cache.push_back(CacheEntry{});
            entry = m.cache.size() - 1;
            Log(name + ": adding a new nic to the pool (Nic #" + std::to_string(entry) + "); (adapter index/handle # " +
                    std::to_string(found) + ").",
                kvr::LEVEL_WARNING);
        }
        CacheEntry& ce = m.cache[entry];
        if (!ce.src.empty())
            Log(name + ": the NIC adapter with source MAC '" + ce.src + "' is already open.", kvr::LEVEL_WARNING);
        ce.handle = found;
        ce.src = m.currentSrc;
        Log(name + ": opening adapter #" + std::to_string(found) + "...", kvr::LEVEL_TRACE);
        if (kvr::zs::OpenAdapter(found) != 0) {
            hNIC = found;
            return true;
        }
    } catch (...) {
        LogTrapped("OpenNdisDeviceByDesc");
    }
    return false;
}

bool CloseNdisRaw(std::int32_t hNIC) {
    try {
        if (hNIC == -1) {
            Log("CloseNdisRaw: function called with an invalid handle!", kvr::LEVEL_ERROR);
            return false;
        }
        ModuleState& m = M();
        m.currentSrc.clear();
        for (std::size_t e = 1; e < m.cache.size(); ++e) {
            if (m.cache[e].handle != hNIC) continue;
            m.cache[e].handle = -1;
            m.cache[e].src.clear();
            Log("CloseNdisRaw: closing adapter #" + std::to_string(hNIC) + "...", kvr::LEVEL_TRACE);
            return kvr::zs::CloseAdapter(hNIC) != 0;
        }
        Log("CloseNdisRaw: the NIC adapter with handle (index) of '" + std::to_string(hNIC) +
                "' is not found in the local cache of NIC adapters.",
            kvr::LEVEL_WARNING);
    } catch (...) {
        LogTrapped("CloseNdisRaw");
    }
    return false;
}

bool WriteNDIS(std::int32_t hNIC, const std::string& destMAC, std::int16_t ProtocolVersion, std::uint8_t frameType,
               std::int16_t label, std::uint8_t downloadMode, std::int16_t payloadLen, std::uint8_t modifiedSnap,
               std::vector<std::uint8_t>& payload) {
    static const std::string name = "WriteNDIS";
    try {
        ModuleState& m = M();
        const std::string* src = nullptr;
        for (std::size_t e = 1; e < m.cache.size(); ++e)
            if (m.cache[e].handle == hNIC) src = &m.cache[e].src;
        kvr::SnapFrame frame;
        const std::optional<kvr::MacAddress> srcMac = src ? kvr::ParseMac(*src) : std::nullopt;
        if (srcMac) frame.sender = *srcMac;
        if (!srcMac) {
            Log(name + ": the NIC adapter with the specified handle (" + std::to_string(hNIC) +
                    ") does not exist in the local program cache.  Exiting abnormally.",
                kvr::LEVEL_ERROR);
            return false;
        }
        if (ProtocolVersion != 0 && ProtocolVersion != 8) return false;
        if (modifiedSnap != 0) frameType = static_cast<std::uint8_t>(frameType | 0x40);

        const std::size_t headerEnd = kvr::SnapPayloadOffset(ProtocolVersion);
        // A length the frame cannot hold would send bytes that are not the payload.
        if (payloadLen < 0 || headerEnd + static_cast<std::size_t>(payloadLen) > kMaxFrame) {
            Log(name + ": payload length (" + std::to_string(payloadLen) + ") does not fit in a frame of at most " +
                    std::to_string(kMaxFrame) + " bytes.  Nothing sent.",
                kvr::LEVEL_ERROR);
            return false;
        }
        const std::optional<kvr::MacAddress> parsedDestination = kvr::ParseMac(destMAC);
        if (!parsedDestination) {
            Log(name + ": invalid destination address '" + destMAC + "'.  Nothing sent.", kvr::LEVEL_ERROR);
            return false;
        }
        const std::size_t room = kMaxFrame - headerEnd;
        if (payload.size() > room) {
            Log("WriteNDIS: size of payload exceeds the maximum by " + std::to_string(payload.size() - room) +
                    " bytes.  Discarding excess data and continuing...",
                kvr::LEVEL_ERROR);
            payload.resize(room);
        }
        // The frame carries payloadLen bytes: the caller's array, zeros past its end.
        const auto length = static_cast<std::size_t>(payloadLen);
        frame.version = ProtocolVersion;
        frame.frameType = frameType;
        frame.label = label;
        frame.status = downloadMode;
        frame.payload.assign(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(std::min(length, payload.size())));
        frame.payload.resize(length, 0);
        std::vector<std::uint8_t> bytes;
        if (!kvr::BuildSnapFrame(*parsedDestination, frame, bytes)) return false;

        errno = 0;
        if (kvr::zs::SendRawPacket(hNIC, static_cast<std::int32_t>(bytes.size()), bytes.data()) == 0) {
            const int err = errno;
            Log(name + ":ZARNISUPP_SendRawPacket FAILED: code " + std::to_string(err) + " (0x" +
                    kvr::HexUpper(static_cast<std::uint32_t>(err)) + ").",
                kvr::LEVEL_ERROR);
            return false;
        }
        return true;
    } catch (...) {
        LogTrapped("WriteNDIS");
    }
    return false;
}

bool ReadNDIS(std::int32_t hNIC, kvr::SnapFrame& frame) {
    try {
        kvr::Clock& clock = kvr::CurrentClock();
        const std::int64_t start = clock.NowMs();
        std::array<std::uint8_t, kvr::kEthernetMaxFrame> buf{};
        for (;;) {
            std::int32_t noFrame = 1;
            std::int32_t frameLength = 0;
            errno = 0;
            if (kvr::zs::ReceiveRawPacket(hNIC, &noFrame, &frameLength, buf.data()) == 0) {
                const int err = errno;
                Log("ZARNISUPP_ReceiveRawPacket FAILED: code " + std::to_string(err) + " (0x" +
                        kvr::HexUpper(static_cast<std::uint32_t>(err)) + ").",
                    kvr::LEVEL_ERROR);
                return false;
            }
            if (noFrame == 0) {
                if (frameLength < 1) return false;
                const std::span<const std::uint8_t> bytes(
                    buf.data(), std::min<std::size_t>(static_cast<std::size_t>(frameLength), buf.size()));
                kvr::EthernetHeader eth;
                if (kvr::ReadEthernetHeader(bytes, eth)) {
                    Log("ReadNDIS: packet received (src MAC=" + kvr::HexPairs(eth.source.data(), 6) +
                            ", dst MAC=" + kvr::HexPairs(eth.destination.data(), 6) +
                            ", len=" + std::to_string(eth.length) + ")",
                        kvr::LEVEL_DETAIL);
                    kvr::SnapParseDetail why;
                    switch (kvr::ParseSnapFrame(bytes, frame, &why)) {
                    case kvr::SnapParse::Ok:
                        return true;
                    case kvr::SnapParse::NotSnap:
                        break;  // another protocol: keep listening
                    case kvr::SnapParse::ShortHeader:
                        Log("ReadNDIS: frame length (" + std::to_string(why.claimed) +
                                ") is too short for its SNAP header.  Discarding frame.",
                            kvr::LEVEL_WARNING);
                        return false;
                    case kvr::SnapParse::Truncated:
                    case kvr::SnapParse::TooLong:
                        Log("ReadNDIS: frame length (" + std::to_string(why.claimed) +
                                ") is greater than the maximum frame length (" + std::to_string(why.room) +
                                ").  Discarding frame.",
                            kvr::LEVEL_WARNING);
                        return false;
                    }
                }
            }
            const std::int64_t elapsed = clock.NowMs() - start;
            if (elapsed >= kReceiveWindowMs) return false;
            if (noFrame != 0) {
                // Nothing queued: sleep in the library until a frame may be
                // there (the rest of the window, as the clock counts it). When
                // it cannot wait, sleep out the window instead of spinning,
                // then poll a last time.
                const long left = clock.RealMs(static_cast<long>(kReceiveWindowMs - elapsed));
                if (kvr::zs::WaitForRawPacket(hNIC, static_cast<std::int32_t>(left)) == 0) {
                    const std::int64_t now = clock.NowMs() - start;
                    if (now < kReceiveWindowMs) clock.SleepMs(static_cast<long>(kReceiveWindowMs - now));
                }
            }
        }
    } catch (...) {
        LogTrapped("ReadNDIS");
    }
    return false;
}

// The PC's own wireless settings are not changed by this program.
bool GetInfrastructureMode(std::int32_t, std::int32_t&) { return false; }
bool SetInfrastructureMode(std::int32_t, std::int32_t) { return false; }
bool GetEncryptionStatus(std::int32_t, std::int32_t&) { return false; }
bool SetEncryptionStatus(std::int32_t, std::int32_t) { return false; }
bool SetWEP(std::int32_t, std::int32_t, std::int32_t, const std::vector<std::uint8_t>&) { return false; }
bool SetSSID(std::int32_t, std::int32_t, const std::vector<std::uint8_t>&) { return false; }
bool GetSSID(std::int32_t, std::int32_t&, std::vector<std::uint8_t>&) { return false; }
