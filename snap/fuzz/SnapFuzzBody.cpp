#include "SnapFuzzBody.h"

#include <algorithm>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "Globals.h"
#include "Rids.h"
#include "Seams.h"
#include "SnapCodec.h"
#include "SnapLink.h"
#include "clsSnapResponse.h"

namespace snapfuzz {
namespace {

// Hands out one received frame, swallows everything the reader sends.
class OneFrameLink : public kvr::SnapLink {
public:
    bool Write(std::int32_t, const std::string& destMAC, std::int16_t, std::uint8_t, std::int16_t, std::uint8_t,
               std::int16_t, std::uint8_t, std::vector<std::uint8_t>& payload) override {
        written += destMAC.size() + payload.size();
        return true;
    }
    bool Read(std::int32_t, kvr::SnapFrame& frame) override {
        if (!pending) return false;
        pending = false;
        frame = next;
        return true;
    }
    bool Open(const std::string&, std::int32_t& hNIC) override {
        hNIC = -1;
        return false;
    }
    bool Close(std::int32_t) override { return false; }

    bool pending = false;
    kvr::SnapFrame next;
    std::size_t written = 0;
};

const Rid kRids[] = {RID_IP_ADDRESS,      RID_ACTIVE_PROFILE,   RID_NUM_PROFILES,   RID_PROFILE_NAME,
                     RID_OPERATION_MODE,  RID_FIRMWARE_VERSION, RID_FIRMWARE_DATE,  RID_DEVICE_NAME,
                     RID_SECURITY,        RID_WPA_PASSPHRASE,   RID_WPA_CIPHER_LIST, RID_RSSI,
                     RID_ERROR_STATUS,    RID_START_QFW_DOWNLOAD};

void Decode(const clsSnapResponse& r, Rid extra) {
    std::vector<Rid> rids(std::begin(kRids), std::end(kRids));
    rids.push_back(extra);
    for (Rid rid : rids) {
        std::int16_t w = 0;
        std::int32_t l = 0;
        bool b = false;
        long code = 0;
        std::string text;
        std::vector<std::uint8_t> value;
        long len = 0;
        r.GetRIDFieldAsWord(rid, w);
        r.GetRIDFieldAsLong(rid, l);
        r.GetRIDFieldAsBool(rid, b);
        r.GetRIDFieldAsString(rid, text);
        r.GetRIDFieldAsStringFixed(rid, text);
        for (long seq = 1; seq <= 3; ++seq) r.GetRIDFieldAsStringEx(rid, text, seq);
        r.GetRIDerrorCode(rid, code);
        if (r.GetRIDField(rid, value, len) && value.size() != static_cast<std::size_t>(len) + 1) __builtin_trap();
    }
    // The block-by-number and the block-by-RID searches must agree.
    std::vector<std::pair<Rid, std::vector<std::uint8_t>>> blocks;
    for (long n = 1; n <= 64; ++n) {
        Rid rid = 0;
        std::vector<std::uint8_t> value;
        long len = 0;
        if (!r.GetField(n, rid, value, len)) break;
        if (value.size() != static_cast<std::size_t>(len) + 1) __builtin_trap();
        blocks.emplace_back(rid, value);
    }
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        long seq = 0;
        for (std::size_t j = 0; j <= i; ++j) seq += blocks[j].first == blocks[i].first;
        std::vector<std::uint8_t> value;
        long len = 0;
        if (!r.GetRIDFieldEx(blocks[i].first, value, len, seq) || value != blocks[i].second) __builtin_trap();
    }
}

}  // namespace

void RunOne(const std::uint8_t* data, std::size_t size) {
    static kvr::FakeClock clock;
    static OneFrameLink link;
    kvr::SetClock(&clock);
    kvr::SetSnapLink(&link);

    // As a whole received frame through the program's frame codec and the
    // response reader.
    kvr::SnapFrame f;
    const std::span<const std::uint8_t> bytes(data, data ? size : 0);
    if (kvr::ParseSnapFrame(bytes.first(std::min(bytes.size(), kvr::kEthernetMaxFrame)), f) == kvr::SnapParse::Ok) {
        // What the codec accepts it builds again, and that reads back the same.
        std::vector<std::uint8_t> rebuilt;
        kvr::SnapFrame again;
        kvr::EthernetHeader eth;
        if (!kvr::ReadEthernetHeader(bytes, eth) || !kvr::BuildSnapFrame(eth.destination, f, rebuilt) ||
            kvr::ParseSnapFrame(rebuilt, again) != kvr::SnapParse::Ok || !(again == f))
            __builtin_trap();
        link.next = f;
        link.pending = true;
        // Half the inputs belong to the current transaction.
        G().LabelCounter = (size & 1) ? f.label : 7;
        clsSnapResponse r;
        r.ReadSNAP(1, (size & 2) ? 8 : 0);
        Decode(r, f.payload.size() >= 4 ? static_cast<Rid>(f.payload[2] | (f.payload[3] << 8)) : 0);
    }

    // As a payload for the decoders.
    clsSnapResponse p;
    p.LoadFrame(SNAP_KIND_RESPONSE, 1, 0, data, size);
    Decode(p, size >= 4 ? static_cast<Rid>(data[2] | (data[3] << 8)) : 0);

    kvr::SetSnapLink(nullptr);
    kvr::SetClock(nullptr);
}

}  // namespace snapfuzz
