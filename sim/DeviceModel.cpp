#include "sim/DeviceModel.h"

#include <algorithm>

#include "util/ByteReader.h"
#include "wire/Rids.h"

namespace kvr::sim {

namespace {

constexpr std::size_t kMaxNameChars = 32;       // fixed 34-byte string fields
constexpr std::size_t kMaxProxyLongChars = 257;
constexpr std::size_t kMaxPassphraseChars = 63;


std::vector<Profile> DefaultProfiles() {
    Profile factory;
    factory.name = "Factory default";
    factory.ssid = "KVR";
    Profile home;
    home.name = "Home";
    home.ssid = "HomeNet";
    return {factory, home};
}

// A length-prefixed text in a written value: count word, then the characters.
bool ParseCountedText(const std::vector<std::uint8_t>& value, std::size_t maxChars, std::string& text) {
    ByteReader r(value);
    std::uint16_t n = r.U16();
    if (!r.Ok() || n > maxChars) return false;
    text = r.Text(n);
    return r.Ok();
}

bool ParseWord(const std::vector<std::uint8_t>& value, std::uint16_t& v) {
    if (value.size() != 2) return false;
    ByteReader r(value);
    v = r.U16();
    return r.Ok();
}

bool ParseIp(const std::vector<std::uint8_t>& value, Ipv4& ip) {
    if (value.size() != 4) return false;
    for (std::size_t i = 0; i < 4; ++i) ip[i] = value[i];
    return true;
}

bool IsProfileRid(std::uint16_t rid) {
    switch (rid) {
        case RID_PROFILE_NAME: case RID_DHCP: case RID_STATIC_IP_ADDRESS: case RID_STATIC_NETMASK:
        case RID_STATIC_GATEWAY: case RID_STATIC_DNS1: case RID_STATIC_DNS2: case RID_USE_PROXY:
        case RID_PROXY_SERVER: case RID_PROXY_SERVER_LONG: case RID_PROXY_PORT: case RID_SSID:
        case RID_ADHOC: case RID_WEP_ENABLED: case RID_SECURITY: case RID_WEP_KEYS:
        case RID_WEP_KEY_INDEX: case RID_WPA_PASSPHRASE: case RID_WPA_CIPHER: case RID_WPA_CIPHER_LIST:
            return true;
        default:
            return false;
    }
}

bool IsReadOnlyRid(std::uint16_t rid) {
    switch (rid) {
        case RID_IP_ADDRESS: case RID_NETMASK: case RID_GATEWAY: case RID_DNS1: case RID_DNS2:
        case RID_AUTOIP_BUSY: case RID_NUM_PROFILES: case RID_OPERATION_MODE: case RID_FIRMWARE_VERSION:
        case RID_HARDWARE_ID: case RID_FIRMWARE_DATE: case RID_FIRMWARE_TIME: case RID_FIRMWARE_ID:
        case RID_HARDWARE_VERSION: case RID_BOOTLOADER_VERSION: case RID_BOOTLOADER_ID: case RID_RSSI:
        case RID_WPA_CIPHER_LIST:
            return true;
        default:
            return false;
    }
}

bool IsDownloadRid(std::uint16_t rid) {
    return rid == RID_START_QFW_DOWNLOAD || rid == RID_DOWNLOAD_QFW_CHUNK || rid == RID_END_DOWNLOAD ||
           rid == RID_START_IMAGE;
}

std::vector<std::uint8_t> FixedText(const std::string& text, std::size_t bytes) {
    std::vector<std::uint8_t> v(bytes, 0);
    for (std::size_t i = 0; i < bytes && i < text.size(); ++i) v[i] = static_cast<std::uint8_t>(text[i]);
    return v;
}

}  // namespace

DeviceModel::DeviceModel(const DeviceConfig& config) : m_config(config), m_rng(config.faults.seed) {
    if (m_config.profiles.empty()) m_config.profiles = DefaultProfiles();
    if (m_config.wpaCapable) m_config.hasSecurityWord = true;
    m_downloadMode = m_config.downloadMode;
    m_acksToDrop = m_config.faults.dropFirstAcks;
}

std::string DeviceModel::Validate(const DeviceConfig& c) {
    if (c.mac[0] & 0x01) return "device address " + MacText(c.mac) + " is a group address";
    if (c.name.size() > kMaxNameChars) return "device name longer than 32 characters";
    if (c.firmwareDate.size() != 8) return "firmware date must have 8 characters (YYYYMMDD)";
    if (c.firmwareTime.size() != 8) return "firmware time must have 8 characters (HHMMSS + 2)";
    if (c.profiles.size() > 255) return "too many profiles";
    for (const Profile& p : c.profiles) {
        if (p.name.size() > kMaxNameChars) return "profile name longer than 32 characters";
        if (p.ssid.size() > kMaxNameChars) return "service set name longer than 32 characters";
        if (p.proxyServer.size() > kMaxProxyLongChars) return "proxy server longer than 257 characters";
        if (p.wpaPassphrase.size() > kMaxPassphraseChars) return "pass phrase longer than 63 characters";
        if (p.security > 2) return "security must be 0, 1 or 2";
        if (p.wepKeyIndex > 3) return "WEP key index must be 0 to 3";
    }
    std::size_t n = c.profiles.empty() ? 2 : c.profiles.size();
    if (c.activeProfile >= n) return "active profile does not exist";
    if (c.replyVersion != -1 && c.replyVersion != 0 && c.replyVersion != 8)
        return "reply version must be 0 or 8";
    const int speaks = c.faults.restartsSpeakingVersion;
    if (speaks != -1 && speaks != 0 && speaks != 8) return "the new image's version must be 0 or 8";
    if (c.wpaCipherList.size() > 34) return "WPA cipher list longer than 34 bytes";
    if (c.faults.dropInFraction < 0 || c.faults.dropInFraction > 1 || c.faults.dropOutFraction < 0 ||
        c.faults.dropOutFraction > 1)
        return "drop fractions must lie between 0 and 1";
    return {};
}

void DeviceModel::SetFaults(const Faults& faults) {
    m_config.faults = faults;
    m_fellSilent = false;
    m_speaksOnly = -1;
    m_startFired = m_chunkFired = m_endFired = m_startImageFired = false;
    m_ignored.reset();
    m_rng.seed(faults.seed);
    m_acksToDrop = faults.dropFirstAcks;
    m_currentCopies = 0;
    m_current = Request{};
}

void DeviceModel::SetDownloadMode(bool on) {
    m_downloadMode = on;
    m_restartStartMs.reset();
}

void DeviceModel::ApplyRestart(std::int64_t nowMs) {
    if (m_restartStartMs && nowMs >= m_restartDoneMs) {
        const Faults& faults = m_config.faults;
        m_downloadMode = m_restartIntoDownload;
        m_restartStartMs.reset();
        bool install = m_restartInstall && m_pendingImage;
        if (m_restartInstall) {  // the restart that starts the (new) image
            if (faults.neverComesBack) m_fellSilent = true;
            if (faults.restartsSpeakingVersion >= 0) m_speaksOnly = faults.restartsSpeakingVersion;
            if (faults.restartsIntoDownloadMode) m_downloadMode = true;
            if (faults.restartsIntoDownloadMode || faults.comesBackWithOldIdentity) install = false;
        }
        if (install) {
            m_config.firmwareId = m_pendingImage->id;
            m_config.firmwareVersion = m_pendingImage->version;
            m_config.firmwareDate = m_pendingImage->date;
            m_config.firmwareTime = m_pendingImage->time;
        }
        if (m_cnePending && faults.resetsConfigurationAfterCne) {
            m_config.profiles = DefaultProfiles();
            m_config.activeProfile = 1;
        }
        m_cnePending = false;
        // A restart ends whatever download was going on.
        m_pendingImage.reset();
        m_download = Download{};
        m_restartInstall = false;
    }
}

void DeviceModel::StartRestart(std::int64_t atMs, bool intoDownloadMode, bool installImage) {
    m_restartStartMs = atMs;
    m_restartDoneMs = atMs + m_config.restartMs;
    m_restartIntoDownload = intoDownloadMode;
    m_restartInstall = installImage;
}

bool DeviceModel::Restarting(std::int64_t nowMs) {
    ApplyRestart(nowMs);
    return m_restartStartMs && nowMs >= *m_restartStartMs;
}

bool DeviceModel::DownloadMode(std::int64_t nowMs) {
    ApplyRestart(nowMs);
    return m_downloadMode;
}

void DeviceModel::ClearLog() {
    m_log.clear();
}

DeviceState DeviceModel::State(std::int64_t nowMs) {
    DeviceState s;
    s.downloadMode = DownloadMode(nowMs);
    s.restarting = Restarting(nowMs);
    s.name = m_config.name;
    s.activeProfile = m_config.activeProfile;
    s.profiles = m_config.profiles;
    s.firmwareId = m_config.firmwareId;
    s.firmwareVersion = m_config.firmwareVersion;
    s.firmwareDate = m_config.firmwareDate;
    s.firmwareTime = m_config.firmwareTime;
    s.downloadBytes = m_download.haveCount;
    return s;
}

bool DeviceModel::Chance(double fraction) {
    if (fraction <= 0) return false;
    if (fraction >= 1) return true;
    return std::uniform_real_distribution<double>(0.0, 1.0)(m_rng) < fraction;
}

void DeviceModel::LogFrame(const SnapFrame& f, bool outgoing, bool dropped, std::int64_t timeMs,
                           std::span<const std::uint8_t> bytes) {
    if (!m_logging) return;
    FrameLogEntry e;
    e.timeMs = timeMs;
    e.outgoing = outgoing;
    e.dropped = dropped;
    e.kind = f.Kind();
    e.label = f.label;
    e.version = f.version;
    e.peer = outgoing ? f.dst : f.Sender();
    e.bytes.assign(bytes.begin(), bytes.end());
    m_log.push_back(std::move(e));
    if (m_log.size() > kMaxLogEntries) m_log.pop_front();
}

DeviceCounters DeviceModel::Counters() const {
    DeviceCounters c = m_counters;
    c.responses.assign(m_responses.begin(), m_responses.end());
    return c;
}

std::vector<std::uint8_t> DeviceModel::Frame(const Mac& to, std::uint8_t kind, std::uint16_t label, int version,
                                             std::uint8_t status, bool downloadBit,
                                             const std::vector<std::uint8_t>& payload) const {
    SnapFrame f;
    f.dst = to;
    f.src = m_config.faults.sendsFrom.value_or(m_config.mac);
    f.headerSrc = m_config.faults.answersFor.value_or(m_config.mac);
    if (version != 8) f.src = m_config.faults.answersFor.value_or(f.src);
    f.version = version;
    f.typeByte = static_cast<std::uint8_t>(kind | (downloadBit ? SNAP_FLAG_DOWNLOAD_MODE : 0));
    f.label = label;
    f.status = status;
    f.payload = payload;
    return BuildSnapFrame(f);
}

void DeviceModel::Emit(std::vector<OutFrame>& out, std::int64_t dueMs, const Mac& to, std::uint8_t kind,
                       std::uint16_t label, int version, std::uint8_t status, bool downloadBit,
                       const std::vector<std::uint8_t>& payload, bool forceDrop) {
    OutFrame o;
    o.dueMs = dueMs;
    o.bytes = Frame(to, kind, label, version, status, downloadBit, payload);
    bool dropped = forceDrop || Chance(m_config.faults.dropOutFraction);
    if (m_logging) {
        if (auto parsed = ParseSnapFrame(o.bytes)) LogFrame(*parsed, true, dropped, dueMs, o.bytes);
    }
    if (dropped) {
        ++m_counters.droppedOut;
        return;
    }
    ++m_counters.framesOut;
    if (kind == SNAP_KIND_ACK) {
        ++m_counters.acksSent;
    } else if (kind == SNAP_KIND_RESPONSE) {
        ++m_counters.responsesSent;
        m_responses.push_back(ResponseRecord{to, label, false});
        if (m_responses.size() > kMaxResponseRecords) m_responses.pop_front();
    }
    out.push_back(std::move(o));
}

void DeviceModel::Forge(std::vector<OutFrame>& out, std::int64_t dueMs, const Mac& to, std::uint16_t label,
                        int version, const Mac& victim) {
    SnapFrame f;
    f.dst = to;
    f.src = f.headerSrc = victim;
    f.version = version;
    f.typeByte = SNAP_KIND_ACK | SNAP_FLAG_DOWNLOAD_MODE;
    f.label = label;
    std::vector<std::uint8_t> ack = BuildSnapFrame(f);
    // Cut inside the SNAP header: the 802.3 length still claims the whole frame.
    std::vector<std::uint8_t> garbage(ack.begin(), ack.begin() + 24);
    out.push_back(OutFrame{dueMs, std::move(garbage)});
    f.typeByte = SNAP_KIND_RESPONSE | SNAP_FLAG_DOWNLOAD_MODE;
    f.status = 0x20;
    std::vector<std::uint8_t> response = BuildSnapFrame(f);
    for (auto* bytes : {&ack, &response}) {
        if (m_logging) {
            if (auto parsed = ParseSnapFrame(*bytes)) LogFrame(*parsed, true, false, dueMs, *bytes);
        }
        ++m_counters.framesOut;
        out.push_back(OutFrame{dueMs, std::move(*bytes)});
    }
}

bool DeviceModel::Authorized(const std::vector<RidBlock>& blocks) const {
    if (m_config.authorizationId == 0) return true;
    for (const RidBlock& b : blocks) {
        if (b.rid != RID_AUTHORIZATION) continue;
        ByteReader r(b.value);
        while (r.Remaining() >= 4)
            if (r.U32() == m_config.authorizationId) return true;
    }
    return false;
}

Profile* DeviceModel::SelectedProfile() {
    int index = m_selectedProfile < 0 ? m_config.activeProfile : m_selectedProfile;
    if (index < 0 || static_cast<std::size_t>(index) >= m_config.profiles.size()) return nullptr;
    return &m_config.profiles[static_cast<std::size_t>(index)];
}

std::vector<OutFrame> DeviceModel::OnFrame(std::span<const std::uint8_t> bytes, std::int64_t nowMs) {
    std::vector<OutFrame> out;
    ApplyRestart(nowMs);
    auto parsed = ParseSnapFrame(bytes);
    if (!parsed) return out;
    const SnapFrame& f = *parsed;
    const bool multicast = f.dst == kSnapMulticast;
    if (f.dst != m_config.mac && !multicast && f.dst != kBroadcast) return out;

    const Faults& faults = m_config.faults;
    if (Chance(faults.dropInFraction)) {
        ++m_counters.droppedIn;
        LogFrame(f, false, true, nowMs, bytes);
        return out;
    }
    ++m_counters.framesIn;
    LogFrame(f, false, false, nowMs, bytes);
    if (Restarting(nowMs)) return out;

    const Mac host = f.Sender();
    const std::uint8_t kind = f.Kind();
    if (kind == SNAP_KIND_ACK) {
        // Never acknowledge an ACK; note which of our responses it confirms.
        for (auto it = m_responses.rbegin(); it != m_responses.rend(); ++it) {
            if (!it->ackedByHost && it->label == f.label && it->host == host) {
                it->ackedByHost = true;
                ++m_counters.acksReceived;
                break;
            }
        }
        return out;
    }
    if (kind != SNAP_KIND_READ_REQUEST && kind != SNAP_KIND_WRITE_REQUEST && kind != SNAP_KIND_FW_DATA) return out;

    ++m_counters.requestsReceived;
    if (multicast) ++m_counters.discoveryRequests;
    if (faults.mute || m_fellSilent) return out;
    if (!multicast && m_speaksOnly >= 0 && f.version != m_speaksOnly) return out;

    Request req{host, f.label, f.payload, kind};
    if (m_currentCopies > 0 && m_current.host == host && m_current.label == f.label) {
        ++m_currentCopies;
    } else {
        m_current = req;
        m_currentCopies = 1;
    }
    if (m_currentCopies < faults.answerOnAttempt) return out;

    std::vector<RidBlock> blocks;
    const bool wellFormed = SplitRidBlocks(f.payload, blocks);
    if (multicast && kind == SNAP_KIND_READ_REQUEST && !Authorized(blocks)) return out;

    const std::int64_t ackAt = nowMs + faults.delayMs;
    std::int64_t responseAt = ackAt + faults.responseDelayMs;

    // A re-send of the request answered last gets the same answer again; it is
    // not carried out twice.
    const bool replay = m_lastAnswered && m_lastAnswered->host == host &&
                        m_lastAnswered->label == f.label && m_lastAnswered->kind == kind &&
                        m_lastAnswered->payload == f.payload;
    // Only the stale-response fault needs the previous transaction.
    std::optional<Request> previous;
    Answer previousAnswer;
    if (faults.lateOldResponse) {
        previous = m_lastAnswered;
        previousAnswer = m_lastAnswer;
    }
    Answer answer;
    if (replay) {
        // The answer to a re-send never overtakes the one still being worked on.
        answer = m_lastAnswer;
        if (responseAt < m_lastAnswerDueMs) responseAt = m_lastAnswerDueMs;
    } else {
        bool ignore = false;
        std::optional<Answer> refusal = StepFaultAnswer(f, ignore);
        if (ignore) return out;
        answer = refusal ? std::move(*refusal) : Execute(f, blocks, wellFormed, responseAt);
        responseAt += answer.workMs;
        m_lastAnswered = req;
        m_lastAnswer = answer;
        m_lastAnswerDueMs = responseAt;
    }
    if (faults.responseCode) answer.status = *faults.responseCode;
    ++m_counters.requestsAnswered;

    const std::uint16_t label = static_cast<std::uint16_t>(f.label + faults.labelOffset);
    const bool bit = answer.modeAtAnswer;

    if (faults.forgesFor) Forge(out, ackAt, host, label, answer.version, *faults.forgesFor);

    if (faults.lateOldResponse) {
        std::uint16_t oldLabel = (previous && !replay) ? previous->label
                                                       : static_cast<std::uint16_t>(f.label == 1 ? 32767 : f.label - 1);
        const std::vector<std::uint8_t>& oldPayload = (previous && !replay) ? previousAnswer.payload : answer.payload;
        Emit(out, ackAt, host, SNAP_KIND_RESPONSE, oldLabel, answer.version, 0, bit, oldPayload);
    }

    bool dropAck = false;
    if (!faults.noAck && m_acksToDrop > 0) {
        --m_acksToDrop;
        dropAck = true;
    }
    auto emitAck = [&](std::int64_t at) {
        if (faults.noAck) return;
        Emit(out, at, host, SNAP_KIND_ACK, label, answer.version, 0, bit, {}, dropAck);
    };
    auto emitResponses = [&](std::int64_t at) {
        if (faults.noResponse) return;
        const bool responseBit = bit && !faults.responseLosesDownloadModeBit;
        for (unsigned i = 0; i <= faults.duplicateResponses; ++i)
            Emit(out, at, host, SNAP_KIND_RESPONSE, label, answer.version, answer.status, responseBit, answer.payload);
    };
    if (faults.responseBeforeAck) {
        emitResponses(responseAt);
        emitAck(responseAt);
    } else {
        emitAck(ackAt);
        emitResponses(responseAt);
    }
    return out;
}

DeviceModel::Answer DeviceModel::Execute(const SnapFrame& request, const std::vector<RidBlock>& blocks,
                                         bool wellFormed, std::int64_t answerMs) {
    Answer a;
    a.version = m_config.replyVersion < 0 ? request.version : m_config.replyVersion;
    a.modeAtAnswer = m_downloadMode;
    m_selectedProfile = -1;
    if (request.Kind() == SNAP_KIND_FW_DATA) {
        Data1(request.payload, a);
        return a;
    }
    const bool isWrite = request.Kind() == SNAP_KIND_WRITE_REQUEST;
    // A chunk record's count word may cover one byte less than its data (the
    // host rounds an odd byte count down), so it is read by its own byte count.
    if (isWrite && request.payload.size() >= 4 && request.payload[2] == (RID_DOWNLOAD_QFW_CHUNK & 0xFF) &&
        request.payload[3] == (RID_DOWNLOAD_QFW_CHUNK >> 8)) {
        Chunk16(request.payload, a);
        return a;
    }
    if (!wellFormed) {
        // A write with broken blocks is ignored as a whole; a read answers nothing.
        a.status = isWrite ? SNAP_RC_WRITE_IGNORED : SNAP_RC_UNSPECIFIED;
        return a;
    }
    const std::size_t maxPayload = a.version == 8 ? SNAP_MAX_PAYLOAD_V8 : SNAP_MAX_PAYLOAD_V0;
    if (isWrite) {
        for (const RidBlock& b : blocks) WriteRid(b, a, answerMs);
        return a;
    }
    std::vector<std::uint8_t> block;
    for (const RidBlock& b : blocks) {
        if (b.rid == RID_PROFILE_SELECT && b.value.size() == 2) {
            m_selectedProfile = b.value[0] | (b.value[1] << 8);
            continue;
        }
        if (b.count != 1) continue;  // other valued blocks (authorization) are not answered
        block.clear();
        ReadRid(b.rid, block);
        if (a.payload.size() + block.size() > maxPayload) {
            a.status |= SNAP_RC_TRUNCATED;
            break;
        }
        a.payload.insert(a.payload.end(), block.begin(), block.end());
    }
    return a;
}

void DeviceModel::ReadRid(std::uint16_t rid, std::vector<std::uint8_t>& out) {
    const DeviceConfig& c = m_config;
    auto refuse = [&](std::uint16_t code) { PutErrorBlock(out, rid, code); };
    auto boolean = [&](bool v) { PutWordBlock(out, rid, v ? 1 : 0); };

    if (IsProfileRid(rid)) {
        bool security = rid == RID_SECURITY;
        // A device with the security word knows the pass phrase but never gives it out.
        if (rid == RID_WPA_PASSPHRASE && c.hasSecurityWord) return refuse(kRefuseExistsUnreadable);
        bool wpa = rid == RID_WPA_PASSPHRASE || rid == RID_WPA_CIPHER || rid == RID_WPA_CIPHER_LIST;
        if ((security && !c.hasSecurityWord) || (wpa && !c.wpaCapable)) return refuse(c.unknownRidCode);
        const Profile* p = SelectedProfile();
        if (!p) return refuse(kRefuseBadValue);
        switch (rid) {
            case RID_PROFILE_NAME: return PutFixedStringBlock(out, rid, p->name);
            case RID_DHCP: return boolean(p->dhcp);
            case RID_STATIC_IP_ADDRESS: return PutIpBlock(out, rid, p->staticIp);
            case RID_STATIC_NETMASK: return PutIpBlock(out, rid, p->staticNetmask);
            case RID_STATIC_GATEWAY: return PutIpBlock(out, rid, p->staticGateway);
            case RID_STATIC_DNS1: return PutIpBlock(out, rid, p->staticDns1);
            case RID_STATIC_DNS2: return PutIpBlock(out, rid, p->staticDns2);
            case RID_USE_PROXY: return boolean(p->useProxy);
            case RID_PROXY_SERVER: return PutFixedStringBlock(out, rid, p->proxyServer.substr(0, kMaxNameChars));
            case RID_PROXY_SERVER_LONG: return PutVarStringBlock(out, rid, p->proxyServer);
            case RID_PROXY_PORT: return PutWordBlock(out, rid, p->proxyPort);
            case RID_SSID: return PutFixedStringBlock(out, rid, p->ssid);
            case RID_ADHOC: return boolean(p->adhoc);
            case RID_WEP_ENABLED: return boolean(c.hasSecurityWord ? p->security == 1 : p->wepEnabled);
            case RID_SECURITY: return PutWordBlock(out, rid, p->security);
            case RID_WEP_KEYS: return refuse(kRefuseExistsUnreadable);  // keys are never read back
            case RID_WEP_KEY_INDEX: return PutWordBlock(out, rid, p->wepKeyIndex);
            case RID_WPA_PASSPHRASE: return refuse(kRefuseExistsUnreadable);  // write-only
            case RID_WPA_CIPHER: return PutWordBlock(out, rid, p->wpaCipher);
            case RID_WPA_CIPHER_LIST: return PutRawBlock(out, rid, c.wpaCipherList);
            default: return refuse(c.unknownRidCode);
        }
    }
    switch (rid) {
        case RID_IP_ADDRESS: return PutIpBlock(out, rid, c.ip);
        case RID_NETMASK: return PutIpBlock(out, rid, c.netmask);
        case RID_GATEWAY: return PutIpBlock(out, rid, c.gateway);
        case RID_DNS1: return PutIpBlock(out, rid, c.dns1);
        case RID_DNS2: return PutIpBlock(out, rid, c.dns2);
        case RID_AUTOIP_BUSY: return boolean(c.autoIpBusy);
        case RID_ACTIVE_PROFILE: return PutWordBlock(out, rid, c.activeProfile);
        case RID_NUM_PROFILES:  // the highest profile number: profiles 0 to NumProfiles exist
            return PutWordBlock(out, rid,
                                static_cast<std::uint16_t>(c.reportedNumProfiles.value_or(
                                    static_cast<std::int16_t>(c.profiles.size() - 1))));
        case RID_OPERATION_MODE: return boolean(m_downloadMode != c.faults.inconsistentDownloadMode);
        case RID_FIRMWARE_VERSION: return PutLongBlock(out, rid, c.firmwareVersion);
        case RID_HARDWARE_ID: return PutLongBlock(out, rid, c.hardwareId);
        case RID_FIRMWARE_DATE: return PutRawBlock(out, rid, FixedText(c.firmwareDate, 8));
        case RID_FIRMWARE_TIME: return PutRawBlock(out, rid, FixedText(c.firmwareTime, 8));
        case RID_FIRMWARE_ID: return PutLongBlock(out, rid, c.firmwareId);
        case RID_HARDWARE_VERSION: return PutLongBlock(out, rid, c.hardwareVersion);
        case RID_BOOTLOADER_VERSION:
            return c.hasBootloaderId ? PutLongBlock(out, rid, c.bootloaderVersion) : refuse(c.unknownRidCode);
        case RID_BOOTLOADER_ID:
            return c.hasBootloaderId ? PutLongBlock(out, rid, c.bootloaderId) : refuse(c.unknownRidCode);
        case RID_DEVICE_NAME: return PutFixedStringBlock(out, rid, c.name);
        case RID_RSSI: return PutWordBlock(out, rid, static_cast<std::uint16_t>(c.rssi));
        case RID_DOWNLOAD_MODE:
        case RID_START_IMAGE_DOWNLOAD:
        case RID_START_CNE_DOWNLOAD:
        case RID_PROFILE_SELECT:
        case RID_AUTHORIZATION:
            return refuse(kRefuseExistsUnreadable);
        default:
            if (IsDownloadRid(rid)) return refuse(c.v16Download ? kRefuseExistsUnreadable : c.unknownRidCode);
            return refuse(c.unknownRidCode);
    }
}

void DeviceModel::WriteRid(const RidBlock& b, Answer& answer, std::int64_t answerMs) {
    DeviceConfig& c = m_config;
    const std::uint16_t rid = b.rid;
    auto refuse = [&](std::uint16_t code) { PutErrorBlock(answer.payload, rid, code); };
    std::uint16_t w = 0;
    for (const auto& r : c.faults.refuseWrite)
        if (r.rid == rid) return refuse(r.code);

    switch (rid) {
        case RID_PROFILE_SELECT:
            if (!ParseWord(b.value, w)) return refuse(kRefuseBadValue);
            m_selectedProfile = w;
            return;
        case RID_DEVICE_NAME: {
            std::string text;
            if (!ParseCountedText(b.value, kMaxNameChars, text)) return refuse(kRefuseBadValue);
            c.name = text;
            return;
        }
        case RID_ACTIVE_PROFILE:
            if (!ParseWord(b.value, w) || w >= c.profiles.size()) return refuse(kRefuseBadValue);
            if (w != c.activeProfile && c.activeChangeRestartMs > 0) {
                StartRestart(answerMs, m_downloadMode);
                m_restartDoneMs = answerMs + c.activeChangeRestartMs;
            }
            c.activeProfile = w;
            return;
        case RID_DOWNLOAD_MODE:
            if (!ParseWord(b.value, w) || w > 1) return refuse(kRefuseBadValue);
            if ((w == 1) != m_downloadMode)
                StartRestart(answerMs, w == 1 && !c.faults.neverEntersDownloadMode);
            return;
        case RID_START_IMAGE_DOWNLOAD:
            return StartDownload1(b, false, answer);
        case RID_START_CNE_DOWNLOAD:
            return StartDownload1(b, true, answer);
        case RID_END_DOWNLOAD:
            return EndDownload(b, answer, answerMs);
        default:
            break;
    }
    if (IsReadOnlyRid(rid)) return refuse(kRefuseReadOnly);
    if (IsDownloadRid(rid)) {
        if (!c.v16Download) return refuse(c.unknownRidCode);
        if (rid == RID_START_QFW_DOWNLOAD) return StartDownload16(b, answer);
        if (rid == RID_START_IMAGE) return StartImage(b, answer, answerMs);
        return refuse(kRefuseBadValue);  // a chunk record that is not the first of its write
    }
    if (!IsProfileRid(rid)) return refuse(c.unknownRidCode);

    bool security = rid == RID_SECURITY;
    bool wpa = rid == RID_WPA_PASSPHRASE || rid == RID_WPA_CIPHER;
    if ((security && !c.hasSecurityWord) || (wpa && !c.wpaCapable)) return refuse(c.unknownRidCode);
    int index = m_selectedProfile < 0 ? c.activeProfile : m_selectedProfile;
    Profile* p = SelectedProfile();
    if (!p) return refuse(kRefuseBadValue);
    if (index == 0) return refuse(kRefuseReadOnly);  // profile 0 keeps the factory defaults

    std::string text;
    Ipv4 ip{};
    switch (rid) {
        case RID_PROFILE_NAME:
            if (!ParseCountedText(b.value, kMaxNameChars, text)) return refuse(kRefuseBadValue);
            p->name = text;
            return;
        case RID_SSID:
            if (!ParseCountedText(b.value, kMaxNameChars, text)) return refuse(kRefuseBadValue);
            p->ssid = text;
            return;
        case RID_PROXY_SERVER:
            if (!ParseCountedText(b.value, kMaxNameChars, text)) return refuse(kRefuseBadValue);
            p->proxyServer = text;
            return;
        case RID_PROXY_SERVER_LONG:
            if (!ParseCountedText(b.value, kMaxProxyLongChars, text)) return refuse(kRefuseBadValue);
            p->proxyServer = text;
            return;
        case RID_WPA_PASSPHRASE:
            if (!ParseCountedText(b.value, kMaxPassphraseChars, text)) return refuse(kRefuseBadValue);
            p->wpaPassphrase = text;
            return;
        case RID_DHCP:
        case RID_USE_PROXY:
        case RID_ADHOC:
        case RID_WEP_ENABLED:
            if (!ParseWord(b.value, w)) return refuse(kRefuseBadValue);
            if (rid == RID_DHCP) p->dhcp = w != 0;
            if (rid == RID_USE_PROXY) p->useProxy = w != 0;
            if (rid == RID_ADHOC) p->adhoc = w != 0;
            if (rid == RID_WEP_ENABLED) {
                p->wepEnabled = w != 0;
                if (c.hasSecurityWord) {
                    if (w != 0) p->security = 1;
                    else if (p->security == 1) p->security = 0;
                }
            }
            return;
        case RID_PROXY_PORT:
            if (!ParseWord(b.value, w)) return refuse(kRefuseBadValue);
            p->proxyPort = w;
            return;
        case RID_SECURITY:
            if (!ParseWord(b.value, w) || w > 2) return refuse(kRefuseBadValue);
            p->security = w;
            p->wepEnabled = w == 1;
            return;
        case RID_WEP_KEY_INDEX:
            if (!ParseWord(b.value, w) || w > 3) return refuse(kRefuseBadValue);
            p->wepKeyIndex = w;
            return;
        case RID_WPA_CIPHER:
            if (!ParseWord(b.value, w) || w > 1) return refuse(kRefuseBadValue);
            p->wpaCipher = w;
            return;
        case RID_WEP_KEYS: {
            if (b.value.size() != 64) return refuse(kRefuseBadValue);
            // A slot whose byte count is 0 leaves that key as it was.
            for (std::size_t s = 0; s < 4; ++s) {
                std::size_t n = b.value[16 * s] | (b.value[16 * s + 1] << 8);
                if (n != 0 && n != 5 && n != 13) return refuse(kRefuseBadValue);
            }
            for (std::size_t s = 0; s < 4; ++s) {
                std::size_t n = b.value[16 * s] | (b.value[16 * s + 1] << 8);
                if (n == 0) continue;
                for (std::size_t i = 0; i < 16; ++i) p->wepKeys[s][i] = b.value[16 * s + i];
            }
            return;
        }
        case RID_STATIC_IP_ADDRESS:
        case RID_STATIC_NETMASK:
        case RID_STATIC_GATEWAY:
        case RID_STATIC_DNS1:
        case RID_STATIC_DNS2:
            if (!ParseIp(b.value, ip)) return refuse(kRefuseBadValue);
            if (rid == RID_STATIC_IP_ADDRESS) p->staticIp = ip;
            if (rid == RID_STATIC_NETMASK) p->staticNetmask = ip;
            if (rid == RID_STATIC_GATEWAY) p->staticGateway = ip;
            if (rid == RID_STATIC_DNS1) p->staticDns1 = ip;
            if (rid == RID_STATIC_DNS2) p->staticDns2 = ip;
            return;
        default:
            return refuse(c.unknownRidCode);
    }
}

// --- firmware download ---------------------------------------------------

namespace {

std::uint32_t Crc32(const std::uint8_t* data, std::size_t n) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

}  // namespace

DeviceModel::Step DeviceModel::StepOf(std::uint8_t kind, const std::vector<std::uint8_t>& payload) {
    if (kind == SNAP_KIND_FW_DATA) return Step::Chunk;
    if (kind != SNAP_KIND_WRITE_REQUEST || payload.size() < 4) return Step::None;
    const std::uint16_t rid = static_cast<std::uint16_t>(payload[2] | (payload[3] << 8));
    switch (rid) {
        case RID_START_QFW_DOWNLOAD: case RID_START_IMAGE_DOWNLOAD: case RID_START_CNE_DOWNLOAD:
            return Step::Start;
        case RID_DOWNLOAD_QFW_CHUNK: return Step::Chunk;
        case RID_END_DOWNLOAD:  // only the record that reports a complete download
            return payload.size() >= 6 && payload[4] == 0 && payload[5] == 0 ? Step::End : Step::None;
        case RID_START_IMAGE: return Step::StartImage;
        default: return Step::None;
    }
}

std::optional<DeviceModel::Answer> DeviceModel::StepFaultAnswer(const SnapFrame& f, bool& ignore) {
    ignore = false;
    const Mac host = f.Sender();
    if (m_ignored && m_ignored->host == host && m_ignored->label == f.label &&
        m_ignored->kind == f.Kind() && m_ignored->payload == f.payload) {
        ignore = true;  // a re-send of the swallowed record
        return std::nullopt;
    }
    const Faults& faults = m_config.faults;
    const StepFault* fault = nullptr;
    bool* fired = nullptr;
    std::uint16_t rid = 0;
    switch (StepOf(f.Kind(), f.payload)) {
        case Step::None:
            return std::nullopt;
        case Step::Start:
            m_dataRecords = 0;
            fault = &faults.startRecord;
            fired = &m_startFired;
            rid = static_cast<std::uint16_t>(f.payload[2] | (f.payload[3] << 8));
            break;
        case Step::Chunk:
            if (++m_dataRecords != faults.chunkAt) return std::nullopt;
            fault = &faults.chunk;
            fired = &m_chunkFired;
            rid = f.Kind() == SNAP_KIND_FW_DATA ? SectionRid() : RID_DOWNLOAD_QFW_CHUNK;
            break;
        case Step::End:
            fault = &faults.endRecord;
            fired = &m_endFired;
            rid = RID_END_DOWNLOAD;
            break;
        case Step::StartImage:
            fault = &faults.startImage;
            fired = &m_startImageFired;
            rid = RID_START_IMAGE;
            break;
    }
    if (!fault->Active() || (*fired && !fault->always)) return std::nullopt;
    *fired = true;
    if (fault->action == StepFault::Action::Ignore) {
        m_ignored = Request{host, f.label, f.payload, f.Kind()};
        ignore = true;
        return std::nullopt;
    }
    Answer a;
    a.version = m_config.replyVersion < 0 ? f.version : m_config.replyVersion;
    a.modeAtAnswer = m_downloadMode;
    if (f.Kind() == SNAP_KIND_FW_DATA) a.status = SNAP_RC_UNSPECIFIED;
    PutErrorBlock(a.payload, rid, fault->code);
    return a;
}

void DeviceModel::CountChunk() {
    ++m_counters.chunksReceived;
    ++m_chunksThisDownload;
    if (m_config.faults.vanishAfterChunks != 0 && m_chunksThisDownload >= m_config.faults.vanishAfterChunks)
        m_fellSilent = true;  // this record is still answered; nothing after it
}

void DeviceModel::StartDownload16(const RidBlock& b, Answer& answer) {
    auto refuse = [&](std::uint16_t code) { PutErrorBlock(answer.payload, b.rid, code); };
    if (!m_downloadMode) return refuse(kRefuseNotNow);
    ByteReader r(b.value);
    std::uint32_t size = r.U32();
    // Flags: bit 0 always, bit 2 when the configuration data is to be installed.
    std::uint16_t flags = r.U16();
    if (!r.Ok() || size == 0 || size > m_config.maxImageBytes) return refuse(kRefuseBadValue);
    if (m_config.faults.checksDownloadFlags && ((flags & 1) == 0 || (flags & ~0x5u) != 0))
        return refuse(kRefuseBadValue);
    m_download = Download{};
    m_download.protocol = 16;
    m_download.size = size;
    m_download.flags = flags;
    m_download.data.assign(size, 0);
    m_pendingImage.reset();
    m_cnePending = false;
    m_chunksThisDownload = 0;
    answer.workMs = m_config.eraseMs;
}

void DeviceModel::Chunk16(std::span<const std::uint8_t> payload, Answer& answer) {
    auto refuse = [&](std::uint16_t code) { PutErrorBlock(answer.payload, RID_DOWNLOAD_QFW_CHUNK, code); };
    if (!m_config.v16Download) return refuse(m_config.unknownRidCode);
    if (!m_downloadMode || m_download.protocol != 16) return refuse(kRefuseNotNow);
    ByteReader r(payload);
    r.Skip(4);  // count word and RID
    std::uint32_t offset = r.U32();
    std::uint16_t n = r.U16();
    auto bytes = r.View(n);
    // The memory is written in order: a chunk must start where the last one ended.
    if (!r.Ok() || n == 0 || offset != m_download.haveCount || n > m_download.size - offset)
        return refuse(kRefuseBadValue);
    std::copy(bytes.begin(), bytes.end(), m_download.data.begin() + offset);
    m_download.haveCount += n;
    CountChunk();
}

void DeviceModel::StartDownload1(const RidBlock& b, bool cne, Answer& answer) {
    auto refuse = [&](std::uint16_t code) { PutErrorBlock(answer.payload, b.rid, code); };
    if (!m_downloadMode) return refuse(kRefuseNotNow);
    ByteReader r(b.value);
    if (cne) r.Skip(4);  // the configuration tag
    Download d;
    d.protocol = 1;
    d.cne = cne;
    d.date = r.Text(8);
    d.time = r.Text(8);
    d.swid = r.U32();
    d.swVersion = r.U32();
    const auto hardwareId = static_cast<std::int16_t>(r.U16());
    const auto compatibleVersion = static_cast<std::int16_t>(r.U16());
    r.Skip(4);  // the section's target information
    d.size = r.U32();
    d.crc = r.U32();
    if (!r.Ok() || d.size > m_config.maxImageBytes) return refuse(kRefuseBadValue);
    if (m_config.faults.checksStartIdentity &&
        (static_cast<std::int32_t>(m_config.hardwareId) != hardwareId ||
         static_cast<std::int32_t>(m_config.hardwareVersion) > compatibleVersion || d.size == 0))
        return refuse(kRefuseBadValue);
    d.data.reserve(d.size);
    m_download = std::move(d);
    if (!cne) m_pendingImage.reset();
    m_chunksThisDownload = 0;
    answer.workMs = m_config.eraseMs;
}

std::uint16_t DeviceModel::SectionRid() const {
    return m_download.protocol == 1 && m_download.cne ? RID_START_CNE_DOWNLOAD : RID_START_IMAGE_DOWNLOAD;
}

void DeviceModel::Data1(std::span<const std::uint8_t> payload, Answer& answer) {
    // A raw data frame has no RID of its own: a refusal names the section's start record.
    if (!m_downloadMode || m_download.protocol != 1) {
        answer.status = SNAP_RC_UNSPECIFIED;
        return PutErrorBlock(answer.payload, SectionRid(), kRefuseNotNow);
    }
    if (payload.empty() || payload.size() > m_download.size - m_download.data.size()) {
        answer.status = SNAP_RC_UNSPECIFIED;  // more bytes than the section announced
        return PutErrorBlock(answer.payload, SectionRid(), kRefuseBadValue);
    }
    m_download.data.insert(m_download.data.end(), payload.begin(), payload.end());
    m_download.haveCount = m_download.data.size();
    CountChunk();
}

std::optional<DeviceModel::Image> DeviceModel::VerifyFile(const std::vector<std::uint8_t>& file) {
    ByteReader r(file);
    if (r.Text(4) != "qFoW") return std::nullopt;
    r.Skip(4);
    Image img;
    img.date = r.Text(8);
    img.time = r.Text(8);
    img.id = r.U32();
    img.version = r.U32();
    if (!r.Ok()) return std::nullopt;
    bool any = false;
    for (std::size_t at : {std::size_t{0x30}, std::size_t{0x40}, std::size_t{0x50}}) {
        ByteReader s(file);
        s.Seek(at);
        std::uint32_t offset = s.U32();
        s.Skip(4);
        std::uint32_t length = s.U32();
        std::uint32_t crc = s.U32();
        if (!s.Ok()) return std::nullopt;
        if (offset == 0) continue;
        if (offset > file.size() || length > file.size() - offset) return std::nullopt;
        if (Crc32(file.data() + offset, length) != crc) return std::nullopt;
        any = true;
        if (at == 0x50) img.hasCne = true;
    }
    if (!any) return std::nullopt;
    return img;
}

void DeviceModel::EndDownload(const RidBlock& b, Answer& answer, std::int64_t answerMs) {
    auto refuse = [&](std::uint16_t code) { PutErrorBlock(answer.payload, b.rid, code); };
    std::uint16_t status = 0;
    if (!ParseWord(b.value, status) || status > 1) return refuse(kRefuseBadValue);
    if (!m_downloadMode || m_download.protocol == 0) return refuse(kRefuseNotNow);
    Download d = std::move(m_download);
    m_download = Download{};
    if (status == 1) {  // the host gave up: keep the firmware we have
        ++m_counters.downloadsFailed;
        return;
    }
    if (d.protocol == 16) {
        std::optional<Image> img;
        if (d.haveCount == d.size) img = VerifyFile(d.data);
        if (!img) {
            ++m_counters.downloadsFailed;
            return refuse(kRefuseBadValue);
        }
        if (m_config.faults.checksDownloadFlags && (d.flags & 4) && !img->hasCne) {
            ++m_counters.downloadsFailed;
            return refuse(kRefuseBadValue);  // configuration data announced, none in the file
        }
        ++m_counters.downloadsCompleted;
        m_pendingImage = img;  // started by the start-image record
        m_cnePending = img->hasCne && (d.flags & 4);
        return;
    }
    if (d.data.size() != d.size || Crc32(d.data.data(), d.data.size()) != d.crc) {
        ++m_counters.downloadsFailed;
        return refuse(kRefuseBadValue);
    }
    ++m_counters.downloadsCompleted;
    if (d.cne) m_cnePending = true;
    if (!d.cne) {
        // Protocol 1: a complete image restarts the device into it by itself.
        m_pendingImage = Image{d.swid, d.swVersion, d.date, d.time};
        StartRestart(answerMs, false, true);
    }
}

void DeviceModel::StartImage(const RidBlock& b, Answer& answer, std::int64_t answerMs) {
    auto refuse = [&](std::uint16_t code) { PutErrorBlock(answer.payload, b.rid, code); };
    if (b.value.size() != 4) return refuse(kRefuseBadValue);
    if (!m_downloadMode) return refuse(kRefuseNotNow);
    StartRestart(answerMs, false, true);  // with the new image when one was completed, else the old one
}

}  // namespace kvr::sim
