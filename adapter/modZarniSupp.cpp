#include "modZarniSupp.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <optional>

#include "basDebug.h"
#include "ByteReader.h"
#include "HexText.h"
#include "RunTimeError.h"
#include "Seams.h"
#include "ZarniLibs.h"

namespace {

const kvr::ModuleLog Log("modZarniSupp");

constexpr std::size_t kMaxFrame = 1500;       // largest frame we build or accept a payload in
constexpr std::size_t kReceiveBuffer = 1514;  // a whole Ethernet frame without its checksum
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

constexpr std::array<std::uint8_t, 3> kLlcHeader{0xAA, 0xAA, 0x03};
constexpr std::array<std::uint8_t, 5> kSnapId{0x00, 0x07, 0xF5, 0x00, 0x00};

// Logs a trapped run-time error the way every procedure does.
void LogTrapped(const char* procedure) { kvr::LogTrappedError(Log, procedure); }


}  // namespace

namespace kvr {

void ResetZarniSuppModule() { M() = ModuleState{}; }
std::int32_t ZarniSuppAdapterCount() { return M().adapterCount; }
namespace {
std::int16_t g_lastReadVersion = 0;
}  // namespace
std::int16_t LastReadNDISVersion() { return g_lastReadVersion; }

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
            // The driver needs time after a scan, also after a good one.
            kvr::CurrentClock().SleepMs(kScanPauseMs);
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
        const std::optional<kvr::MacAddress> srcMac = src ? kvr::ParseMac(*src) : std::nullopt;
        if (!srcMac) {
            Log(name + ": the NIC adapter with the specified handle (" + std::to_string(hNIC) +
                    ") does not exist in the local program cache.  Exiting abnormally.",
                kvr::LEVEL_ERROR);
            return false;
        }

        std::vector<std::uint8_t> snapHeader;
        if (ProtocolVersion == 8) {
            snapHeader = {0x08, 0x00};
        } else if (ProtocolVersion != 0) {
            return false;
        }
        if (modifiedSnap != 0) frameType = static_cast<std::uint8_t>(frameType | 0x40);
        const auto ulabel = static_cast<std::uint16_t>(label);
        const auto ulen = static_cast<std::uint16_t>(payloadLen);
        snapHeader.push_back(frameType);
        snapHeader.push_back(static_cast<std::uint8_t>(ulabel & 0xFF));
        snapHeader.push_back(static_cast<std::uint8_t>(ulabel >> 8));
        snapHeader.push_back(downloadMode);
        snapHeader.push_back(static_cast<std::uint8_t>(ulen & 0xFF));
        snapHeader.push_back(static_cast<std::uint8_t>(ulen >> 8));

        const std::size_t headerEnd = 22 + snapHeader.size() + (ProtocolVersion == 8 ? 6 : 0);
        // A length the frame cannot hold would send bytes that are not the payload.
        if (payloadLen < 0 || headerEnd + static_cast<std::size_t>(payloadLen) > kMaxFrame) {
            Log(name + ": payload length (" + std::to_string(payloadLen) + ") does not fit in a frame of at most " +
                    std::to_string(kMaxFrame) + " bytes.  Nothing sent.",
                kvr::LEVEL_ERROR);
            return false;
        }
        const std::optional<kvr::MacAddress> dstMac = kvr::ParseMac(destMAC);
        if (!dstMac) {
            Log(name + ": invalid destination address '" + destMAC + "'.  Nothing sent.", kvr::LEVEL_ERROR);
            return false;
        }
        const std::size_t frameLength = headerEnd + static_cast<std::size_t>(payloadLen);

        std::array<std::uint8_t, kMaxFrame> frame{};
        std::size_t pos = 0;
        auto put = [&](const std::uint8_t* p, std::size_t n) {
            std::copy(p, p + n, frame.begin() + static_cast<std::ptrdiff_t>(pos));
            pos += n;
        };
        put(dstMac->data(), 6);
        put(srcMac->data(), 6);
        const std::size_t lengthField = frameLength - 14;
        frame[pos++] = static_cast<std::uint8_t>(lengthField >> 8);
        frame[pos++] = static_cast<std::uint8_t>(lengthField & 0xFF);
        put(kLlcHeader.data(), kLlcHeader.size());
        put(kSnapId.data(), kSnapId.size());
        put(snapHeader.data(), snapHeader.size());
        if (ProtocolVersion == 8) put(srcMac->data(), 6);

        const std::size_t room = kMaxFrame - pos;
        if (payload.size() > room) {
            Log("WriteNDIS: size of payload exceeds the maximum by " + std::to_string(payload.size() - room) +
                    " bytes.  Discarding excess data and continuing...",
                kvr::LEVEL_ERROR);
            payload.resize(room);
        }
        put(payload.data(), payload.size());

        errno = 0;
        if (kvr::zs::SendRawPacket(hNIC, static_cast<std::int32_t>(frameLength), frame.data()) == 0) {
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

namespace {

// One received frame taken apart; false when it is malformed (already logged).
bool ParseSnapFrame(const std::uint8_t* data, std::size_t length, std::size_t lengthField,
                    std::vector<std::uint8_t>& srcMAC, std::uint8_t& frameType, std::int16_t& label,
                    std::uint8_t& downloadMode, std::int16_t& payloadLen, std::vector<std::uint8_t>& payload) {
    // Padding beyond the 802.3 length is not part of the frame.
    const std::size_t end = std::min(length, 14 + lengthField);
    kvr::ByteReader rd(data, end);
    std::array<std::uint8_t, 6> ethSrc{};
    rd.Seek(6);
    rd.Bytes(ethSrc.data(), 6);
    rd.Seek(22);
    bool v8 = false;
    const std::uint16_t version = rd.U16();
    if (rd.Ok() && version == 8) v8 = true;
    else rd.Seek(22);
    const std::uint8_t type = rd.U8();
    const std::uint16_t lbl = rd.U16();
    const std::uint8_t status = rd.U8();
    const std::uint16_t plen = rd.U16();
    std::array<std::uint8_t, 6> sender = ethSrc;
    if (v8) rd.Bytes(sender.data(), 6);
    if (!rd.Ok()) {
        Log("ReadNDIS: frame length (" + std::to_string(end) + ") is too short for its SNAP header.  Discarding frame.",
            kvr::LEVEL_WARNING);
        return false;
    }
    const std::size_t pos = rd.Pos();
    const std::size_t room = std::min(kMaxFrame - pos, rd.Remaining());
    if (plen > room) {
        Log("ReadNDIS: frame length (" + std::to_string(plen) + ") is greater than the maximum frame length (" +
                std::to_string(room) + ").  Discarding frame.",
            kvr::LEVEL_WARNING);
        return false;
    }
    auto body = rd.View(plen);
    payload.assign(body.begin(), body.end());
    const std::string mac = kvr::MacText(sender.data());
    srcMAC.assign(mac.begin(), mac.end());
    srcMAC.push_back(0);
    frameType = type;
    label = static_cast<std::int16_t>(lbl);
    downloadMode = status;
    payloadLen = static_cast<std::int16_t>(plen);
    kvr::g_lastReadVersion = v8 ? 8 : 0;
    return true;
}

}  // namespace

bool ReadNDIS(std::int32_t hNIC, std::vector<std::uint8_t>& srcMAC, std::uint8_t /*unused*/, std::uint8_t& frameType,
              std::int16_t& label, std::uint8_t& downloadMode, std::int16_t& payloadLen,
              std::vector<std::uint8_t>& payload) {
    try {
        kvr::Clock& clock = kvr::CurrentClock();
        const std::int64_t start = clock.NowMs();
        std::array<std::uint8_t, kReceiveBuffer> buf{};
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
                const std::size_t len = std::min<std::size_t>(static_cast<std::size_t>(frameLength), buf.size());
                kvr::ByteReader rd(buf.data(), len);
                std::array<std::uint8_t, 6> dst{}, src{};
                rd.Bytes(dst.data(), 6);
                rd.Bytes(src.data(), 6);
                const std::uint16_t lengthField = rd.U16BE();
                if (rd.Ok()) {
                    Log("ReadNDIS: packet received (src MAC=" + kvr::HexPairs(src.data(), 6) +
                            ", dst MAC=" + kvr::HexPairs(dst.data(), 6) + ", len=" + std::to_string(lengthField) + ")",
                        kvr::LEVEL_DETAIL);
                    std::array<std::uint8_t, 3> llc{};
                    std::array<std::uint8_t, 5> snap{};
                    rd.Bytes(llc.data(), 3);
                    rd.Bytes(snap.data(), 5);
                    if (llc[0] == 0xAB) llc[0] = 0xAA;
                    if (rd.Ok() && llc == kLlcHeader && snap == kSnapId) {
                        if (14 + static_cast<std::size_t>(lengthField) > len) {
                            Log("ReadNDIS: frame length (" + std::to_string(14 + static_cast<std::size_t>(lengthField)) +
                                    ") is greater than the maximum frame length (" + std::to_string(len) +
                                    ").  Discarding frame.",
                                kvr::LEVEL_WARNING);
                            return false;
                        }
                        return ParseSnapFrame(buf.data(), len, lengthField, srcMAC, frameType, label, downloadMode,
                                              payloadLen, payload);
                    }
                }
            }
            const std::int64_t elapsed = clock.NowMs() - start;
            if (elapsed >= kReceiveWindowMs) return false;
            if (noFrame != 0) {
                // Nothing queued: sleep in the library until a frame may be
                // there. When it cannot wait, sleep out the window instead of
                // spinning, then poll a last time.
                if (kvr::zs::WaitForRawPacket(hNIC, static_cast<std::int32_t>(kReceiveWindowMs - elapsed)) == 0) {
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

std::string MacArrayToText(const std::vector<std::uint8_t>& srcMAC) {
    std::string s;
    for (std::uint8_t b : srcMAC) {
        if (b == 0) break;
        s.push_back(static_cast<char>(b));
    }
    return s;
}

// The PC's own wireless settings are not changed by this program.
bool GetInfrastructureMode(std::int32_t, std::int32_t&) { return false; }
bool SetInfrastructureMode(std::int32_t, std::int32_t) { return false; }
bool GetEncryptionStatus(std::int32_t, std::int32_t&) { return false; }
bool SetEncryptionStatus(std::int32_t, std::int32_t) { return false; }
bool SetWEP(std::int32_t, std::int32_t, std::int32_t, const std::vector<std::uint8_t>&) { return false; }
bool SetSSID(std::int32_t, std::int32_t, const std::vector<std::uint8_t>&) { return false; }
bool GetSSID(std::int32_t, std::int32_t&, std::vector<std::uint8_t>&) { return false; }
