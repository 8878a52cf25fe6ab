#include "sim/DeviceOptions.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "Text.h"
#include "sim/DeviceModel.h"

namespace kvr::sim {

bool ParseOptionNumber(const std::string& text, long long lo, long long hi, long long& v) {
    if (text.empty()) return false;
    std::size_t digits = text[0] == '-' || text[0] == '+' ? 1 : 0;
    const bool hex = text.size() > digits + 1 && text[digits] == '0' && (text[digits + 1] == 'x' || text[digits + 1] == 'X');
    errno = 0;
    char* end = nullptr;
    long long x = std::strtoll(text.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || x < lo || x > hi) return false;
    v = x;
    return true;
}

namespace {

// Splits "a=1, b=\"x y\" c" into tokens; false on an unterminated quote.
bool Tokenize(const std::string& s, std::vector<std::string>& out, std::string* error) {
    std::string cur;
    bool inQuote = false, any = false;
    for (char c : s) {
        if (inQuote) {
            if (c == '"') inQuote = false;
            else cur.push_back(c);
        } else if (c == '"') {
            inQuote = true;
            any = true;
        } else if (c == ',' || c == ' ' || c == '\t') {
            if (any || !cur.empty()) out.push_back(cur);
            cur.clear();
            any = false;
        } else {
            cur.push_back(c);
        }
    }
    if (inQuote) {
        if (error) *error = "unterminated double quote";
        return false;
    }
    if (any || !cur.empty()) out.push_back(cur);
    return true;
}

bool Number(const std::string& text, long long lo, long long hi, long long& v) {
    return ParseOptionNumber(text, lo, hi, v);
}

bool Flag(const std::string& text, bool& v) {
    if (text == "1" || text == "on" || text == "yes" || text == "true") { v = true; return true; }
    if (text == "0" || text == "off" || text == "no" || text == "false") { v = false; return true; }
    return false;
}

bool Fraction(const std::string& text, double& v) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    double x = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !(x >= 0.0 && x <= 1.0)) return false;
    v = x;
    return true;
}

// A download fault: refuse|ignore, then optionally :CODE (refuse only) and :once|:always.
bool StepFaultValue(const std::string& text, StepFault& f) {
    std::vector<std::string> parts;
    std::size_t from = 0;
    for (;;) {
        std::size_t colon = text.find(':', from);
        parts.push_back(text.substr(from, colon == std::string::npos ? std::string::npos : colon - from));
        if (colon == std::string::npos) break;
        from = colon + 1;
    }
    StepFault v;
    if (parts[0] == "refuse") v.action = StepFault::Action::Refuse;
    else if (parts[0] == "ignore") v.action = StepFault::Action::Ignore;
    else return false;
    bool codeGiven = false, repeatGiven = false;
    for (std::size_t i = 1; i < parts.size(); ++i) {
        long long code = 0;
        if ((parts[i] == "once" || parts[i] == "always") && !repeatGiven) {
            v.always = parts[i] == "always";
            repeatGiven = true;
        } else if (v.action == StepFault::Action::Refuse && !codeGiven && !repeatGiven &&
                   Number(parts[i], 0, 0xFFFF, code)) {
            v.code = static_cast<std::uint16_t>(code);
            codeGiven = true;
        } else {
            return false;
        }
    }
    f = v;
    return true;
}

// K:refuse|ignore[...]: the fault strikes the K-th data record (from 1).
bool ChunkFaultValue(const std::string& text, Faults& faults) {
    std::size_t colon = text.find(':');
    long long k = 0;
    if (colon == std::string::npos || !Number(text.substr(0, colon), 1, 0xFFFFFFFFLL, k)) return false;
    if (!StepFaultValue(text.substr(colon + 1), faults.chunk)) return false;
    faults.chunkAt = static_cast<unsigned>(k);
    return true;
}

}  // namespace

Mac AutoMac(unsigned n) {
    return Mac{0x00, 0x07, 0xF5, 0x5E, static_cast<std::uint8_t>((n >> 8) & 0xFF), static_cast<std::uint8_t>(n & 0xFF)};
}

namespace {

// One setting of a profile: security=none|wep|wpa, passphrase=, cipher=aes|tkip,
// static=IP/MASK/GATEWAY/DNS1[/DNS2] (turns DHCP off), proxy=SERVER:PORT, adhoc=0|1.
bool ProfileOption(const std::string& key, const std::string& val, Profile& p) {
    if (key == "security") {
        if (val == "none") p.security = 0;
        else if (val == "wep") p.security = 1;
        else if (val == "wpa") p.security = 2;
        else return false;
        p.wepEnabled = p.security == 1;
        return true;
    }
    if (key == "passphrase") {
        p.wpaPassphrase = val;
        return !val.empty();
    }
    if (key == "cipher") {
        if (val != "aes" && val != "tkip") return false;
        p.wpaCipher = val == "aes" ? 0 : 1;
        return true;
    }
    if (key == "adhoc") return Flag(val, p.adhoc);
    if (key == "static") {
        std::vector<std::string> parts;
        std::size_t from = 0;
        for (;;) {
            std::size_t slash = val.find('/', from);
            parts.push_back(val.substr(from, slash == std::string::npos ? std::string::npos : slash - from));
            if (slash == std::string::npos) break;
            from = slash + 1;
        }
        if (parts.size() < 4 || parts.size() > 5) return false;
        Ipv4* targets[5] = {&p.staticIp, &p.staticNetmask, &p.staticGateway, &p.staticDns1, &p.staticDns2};
        for (std::size_t i = 0; i < parts.size(); ++i) {
            auto ip = ParseIpv4(parts[i]);
            if (!ip) return false;
            *targets[i] = *ip;
        }
        p.dhcp = false;
        return true;
    }
    if (key == "proxy") {
        std::size_t colon = val.rfind(':');
        long long port = 0;
        if (colon == std::string::npos || colon == 0 || !Number(val.substr(colon + 1), 0, 65535, port)) return false;
        p.useProxy = true;
        p.proxyServer = val.substr(0, colon);
        p.proxyPort = static_cast<std::uint16_t>(port);
        return true;
    }
    return false;
}

}  // namespace

bool ParseDeviceOptions(const std::string& spec, DeviceConfig& d, std::string* error) {
    std::vector<std::string> tokens;
    std::string why;
    if (!Tokenize(spec, tokens, &why)) {
        if (error) *error = why;
        return false;
    }
    bool profilesGiven = false;
    for (const std::string& t : tokens) {
        std::size_t eq = t.find('=');
        if (eq == std::string::npos || eq == 0) {
            if (error) *error = "'" + t + "' is not key=value";
            return false;
        }
        std::string key = t.substr(0, eq);
        std::string val = t.substr(eq + 1);
        long long n = 0;
        bool ok = true;
        auto num = [&](long long lo, long long hi) { return ok = Number(val, lo, hi, n); };
        auto ipv4 = [&](Ipv4& ip) {
            auto p = ParseIpv4(val);
            if (p) ip = *p;
            return ok = p.has_value();
        };
        if (key == "mac") {
            auto m = ParseMac(val);
            if ((ok = m.has_value())) d.mac = *m;
        } else if (key == "name") {
            d.name = val;
        } else if (key == "ip") { ipv4(d.ip);
        } else if (key == "netmask") { ipv4(d.netmask);
        } else if (key == "gateway") { ipv4(d.gateway);
        } else if (key == "dns1") { ipv4(d.dns1);
        } else if (key == "dns2") { ipv4(d.dns2);
        } else if (key == "rssi") {
            if (num(-32768, 32767)) d.rssi = static_cast<std::int16_t>(n);
        } else if (key == "autoip") { ok = Flag(val, d.autoIpBusy);
        } else if (key == "hwid") { if (num(0, 0xFFFFFFFFLL)) d.hardwareId = static_cast<std::uint32_t>(n);
        } else if (key == "hwver") { if (num(0, 0xFFFFFFFFLL)) d.hardwareVersion = static_cast<std::uint32_t>(n);
        } else if (key == "fwid") { if (num(0, 0xFFFFFFFFLL)) d.firmwareId = static_cast<std::uint32_t>(n);
        } else if (key == "fwver") { if (num(0, 0xFFFFFFFFLL)) d.firmwareVersion = static_cast<std::uint32_t>(n);
        } else if (key == "fwdate") { d.firmwareDate = val;
        } else if (key == "fwtime") { d.firmwareTime = val;
        } else if (key == "blid") { if (num(0, 0xFFFFFFFFLL)) d.bootloaderId = static_cast<std::uint32_t>(n);
        } else if (key == "blver") { if (num(0, 0xFFFFFFFFLL)) d.bootloaderVersion = static_cast<std::uint32_t>(n);
        } else if (key == "bootloader") { ok = Flag(val, d.hasBootloaderId);
        } else if (key == "profiles") {
            if (num(1, 255)) {
                if (!profilesGiven) d.profiles.clear();
                profilesGiven = true;
                while (d.profiles.size() < static_cast<std::size_t>(n)) {
                    Profile p;
                    p.name = d.profiles.empty() ? "Factory default" : "Profile " + std::to_string(d.profiles.size());
                    p.ssid = d.profiles.empty() ? "KVR" : "Network" + std::to_string(d.profiles.size());
                    d.profiles.push_back(p);
                }
            }
        } else if (key == "profile") {
            // NAME or NAME/SSID; appends one profile.
            if (!profilesGiven) d.profiles.clear();
            profilesGiven = true;
            Profile p;
            std::size_t slash = val.find('/');
            p.name = val.substr(0, slash);
            p.ssid = slash == std::string::npos ? p.name : val.substr(slash + 1);
            d.profiles.push_back(p);
        } else if (key == "active") { if (num(0, 254)) d.activeProfile = static_cast<std::uint16_t>(n);
        } else if (key == "numprofiles") {
            if (num(-32768, 32767)) d.reportedNumProfiles = static_cast<std::int16_t>(n);
        } else if (key == "security") {
            if (val == "none") { d.hasSecurityWord = false; d.wpaCapable = false; }
            else if (val == "word") { d.hasSecurityWord = true; d.wpaCapable = false; }
            else if (val == "wpa") { d.hasSecurityWord = true; d.wpaCapable = true; }
            else ok = false;
        } else if (key == "v16") { ok = Flag(val, d.v16Download);
        } else if (key == "auth") { if (num(0, 0xFFFFFFFFLL)) d.authorizationId = static_cast<std::uint32_t>(n);
        } else if (key == "version") {
            if (val == "auto") d.replyVersion = -1;
            else if (val == "0") d.replyVersion = 0;
            else if (val == "8") d.replyVersion = 8;
            else ok = false;
        } else if (key == "unknown-code") { if (num(0, 0xFFFF)) d.unknownRidCode = static_cast<std::uint16_t>(n);
        } else if (key == "download") { ok = Flag(val, d.downloadMode);
        } else if (key == "restart") { if (num(0, 600000)) d.restartMs = static_cast<unsigned>(n);
        } else if (key == "erase") { if (num(0, 600000)) d.eraseMs = static_cast<unsigned>(n);
        } else if (key == "vanish-after") { if (num(0, 1000000)) d.faults.vanishAfterChunks = static_cast<unsigned>(n);
        } else if (key == "drop-acks") { if (num(0, 1000000)) d.faults.dropFirstAcks = static_cast<unsigned>(n);
        } else if (key == "drop-in") { ok = Fraction(val, d.faults.dropInFraction);
        } else if (key == "drop-out") { ok = Fraction(val, d.faults.dropOutFraction);
        } else if (key == "seed") { if (num(0, 0xFFFFFFFFLL)) d.faults.seed = static_cast<std::uint32_t>(n);
        } else if (key == "delay") { if (num(0, 600000)) d.faults.delayMs = static_cast<unsigned>(n);
        } else if (key == "response-delay") { if (num(0, 600000)) d.faults.responseDelayMs = static_cast<unsigned>(n);
        } else if (key == "response-first") { ok = Flag(val, d.faults.responseBeforeAck);
        } else if (key == "no-ack") { ok = Flag(val, d.faults.noAck);
        } else if (key == "no-response") { ok = Flag(val, d.faults.noResponse);
        } else if (key == "response-mode-bit-lost") { ok = Flag(val, d.faults.responseLosesDownloadModeBit);
        } else if (key == "answer-on") { if (num(1, 1000)) d.faults.answerOnAttempt = static_cast<unsigned>(n);
        } else if (key == "label-offset") { if (num(-32767, 32767)) d.faults.labelOffset = static_cast<int>(n);
        } else if (key == "duplicates") { if (num(0, 100)) d.faults.duplicateResponses = static_cast<unsigned>(n);
        } else if (key == "late-old") { ok = Flag(val, d.faults.lateOldResponse);
        } else if (key == "rc") { if (num(0, 255)) d.faults.responseCode = static_cast<std::uint8_t>(n);
        } else if (key == "inconsistent-mode") { ok = Flag(val, d.faults.inconsistentDownloadMode);
        } else if (key == "mute") { ok = Flag(val, d.faults.mute);
        } else if (key == "refuse-write") {
            // RID[:code]
            std::size_t colon = val.find(':');
            long long rid = 0, code = kRefuseNotNow;
            ok = Number(val.substr(0, colon), 0, 0xFFFF, rid) &&
                 (colon == std::string::npos || Number(val.substr(colon + 1), 0, 0xFFFF, code));
            if (ok) d.faults.refuseWrite.push_back({static_cast<std::uint16_t>(rid), static_cast<std::uint16_t>(code)});
        } else if (key == "active-restart") {
            if (num(0, 600000)) d.activeChangeRestartMs = static_cast<unsigned>(n);
        } else if (key.rfind("p-", 0) == 0) {
            if (d.profiles.empty()) {
                if (error) *error = "'" + key + "' needs a profile before it (profiles= or profile=)";
                return false;
            }
            ok = ProfileOption(key.substr(2), val, d.profiles.back());
        } else if (key == "no-download-mode") { ok = Flag(val, d.faults.neverEntersDownloadMode);
        } else if (key == "fail-start") { ok = StepFaultValue(val, d.faults.startRecord);
        } else if (key == "fail-chunk") { ok = ChunkFaultValue(val, d.faults);
        } else if (key == "fail-end") { ok = StepFaultValue(val, d.faults.endRecord);
        } else if (key == "fail-start-image") { ok = StepFaultValue(val, d.faults.startImage);
        } else if (key == "restart-download") { ok = Flag(val, d.faults.restartsIntoDownloadMode);
        } else if (key == "never-back") { ok = Flag(val, d.faults.neverComesBack);
        } else if (key == "old-identity") { ok = Flag(val, d.faults.comesBackWithOldIdentity);
        } else if (key == "new-version") {
            if (val == "0" || val == "8") d.faults.restartsSpeakingVersion = val == "0" ? 0 : 8;
            else ok = false;
        } else if (key == "cne-reset") { ok = Flag(val, d.faults.resetsConfigurationAfterCne);
        } else if (key == "check-flags") { ok = Flag(val, d.faults.checksDownloadFlags);
        } else if (key == "check-identity") { ok = Flag(val, d.faults.checksStartIdentity);
        } else if (key == "answers-for" || key == "sends-from" || key == "forges-for") {
            auto m = ParseMac(val);
            std::optional<Mac>& field = key == "answers-for" ? d.faults.answersFor
                                        : key == "sends-from" ? d.faults.sendsFrom : d.faults.forgesFor;
            if ((ok = m.has_value())) field = *m;
        } else {
            if (error) *error = "unknown key '" + key + "'";
            return false;
        }
        if (!ok) {
            if (error) *error = "bad value for '" + key + "': '" + val + "'";
            return false;
        }
    }
    std::string why2 = DeviceModel::Validate(d);
    if (!why2.empty()) {
        if (error) *error = why2;
        return false;
    }
    return true;
}

bool ParseConfigText(const std::string& text, SimConfig& config, std::string* error) {
    std::istringstream in(text);
    std::string line;
    unsigned lineNo = 0;
    auto fail = [&](const std::string& why) {
        if (error) *error = "line " + std::to_string(lineNo) + ": " + why;
        return false;
    };
    while (std::getline(in, line)) {
        ++lineNo;
        // '#' starts a comment unless it stands inside double quotes.
        bool quoted = false;
        for (std::size_t i = 0; i < line.size(); ++i) {
            if (line[i] == '"') {
                quoted = !quoted;
            } else if (line[i] == '#' && !quoted) {
                line.erase(i);
                break;
            }
        }
        line = kvr::Trim(line, " \t\r");
        if (line.empty()) continue;
        std::size_t sp = line.find_first_of(" \t");
        std::string word = line.substr(0, sp);
        std::string rest = sp == std::string::npos ? "" : kvr::Trim(line.substr(sp), " \t\r");
        if (word == "segment") {
            if (rest.empty()) return fail("segment needs a name");
            config.segment = rest;
        } else if (word == "interface") {
            if (rest.empty()) return fail("interface needs a name");
            config.interfaceName = rest;
        } else if (word == "log") {
            bool on = true;
            if (!rest.empty() && !Flag(rest, on)) return fail("log takes on or off");
            config.log = on;
        } else if (word == "demo") {
            for (const DeviceConfig& d : DemoDevices()) config.devices.push_back(d);
        } else if (word == "device") {
            DeviceConfig d;
            d.mac = AutoMac(static_cast<unsigned>(config.devices.size() + 1));
            std::string why;
            if (!ParseDeviceOptions(rest, d, &why)) return fail(why);
            config.devices.push_back(d);
        } else {
            return fail("unknown statement '" + word + "'");
        }
    }
    return true;
}

std::vector<DeviceConfig> DemoDevices() {
    std::vector<DeviceConfig> v;

    DeviceConfig loader;
    loader.mac = Mac{0x00, 0x07, 0xF5, 0xD0, 0x00, 0x01};
    loader.name = "Demo Loader";
    loader.downloadMode = true;
    loader.ip = {0, 0, 0, 0};
    loader.rssi = 12;
    v.push_back(loader);

    DeviceConfig secure;
    secure.mac = Mac{0x00, 0x07, 0xF5, 0xD0, 0x00, 0x02};
    secure.name = "Demo Secure";
    secure.wpaCapable = true;
    secure.hasSecurityWord = true;
    secure.ip = {192, 168, 1, 42};
    secure.rssi = 28;
    Profile factory;
    factory.name = "Factory default";
    factory.ssid = "KVR";
    Profile wpa;
    wpa.name = "Office";
    wpa.ssid = "OfficeNet";
    wpa.security = 2;
    wpa.wpaCipher = 0;
    wpa.wpaPassphrase = "correct horse battery staple";
    Profile wep;
    wep.name = "Lab";
    wep.ssid = "LabNet";
    wep.security = 1;
    wep.wepEnabled = true;
    wep.dhcp = false;
    wep.staticIp = {10, 0, 0, 5};
    wep.staticNetmask = {255, 255, 255, 0};
    wep.staticGateway = {10, 0, 0, 1};
    wep.staticDns1 = {10, 0, 0, 1};
    secure.profiles = {factory, wpa, wep};
    secure.activeProfile = 1;
    v.push_back(secure);

    DeviceConfig longName;
    longName.mac = Mac{0x00, 0x07, 0xF5, 0xD0, 0x00, 0x03};
    longName.name = "Living Room Speaker Upstairs 032";  // the full 32 characters
    longName.ip = {192, 168, 1, 43};
    longName.rssi = 17;
    longName.autoIpBusy = false;
    Profile lf = factory;
    Profile home;
    home.name = "Home";
    home.ssid = "HomeNet";
    home.useProxy = true;
    home.proxyServer = "proxy.example.internal";
    home.proxyPort = 8080;
    longName.profiles = {lf, home};
    v.push_back(longName);
    return v;
}

std::string DeviceOptionsHelp() {
    return "Device keys (key=value, separated by commas or blanks; quote values with blanks):\n"
           "  mac=00:07:F5:01:02:03  name=TEXT (max 32)  ip= netmask= gateway= dns1= dns2=\n"
           "  rssi=N  autoip=0|1  hwid= hwver= fwid= fwver= (numbers, 0x.. allowed)\n"
           "  fwdate=YYYYMMDD  fwtime=HHMMSSxx  blid= blver= bootloader=0|1\n"
           "  profiles=N  profile=NAME[/SSID] (repeatable)  active=N  numprofiles=N (reported)\n"
           "  security=none|word|wpa  v16=0|1  auth=N  version=auto|0|8  unknown-code=N\n"
           "  download=0|1  restart=MS  erase=MS (time to prepare for a firmware download)\n"
           "Faults:\n"
           "  drop-acks=N  drop-in=F  drop-out=F  seed=N  delay=MS  response-delay=MS\n"
           "  response-first=1  no-ack=1  answer-on=N  label-offset=N  duplicates=N\n"
           "  late-old=1  rc=N  inconsistent-mode=1  mute=1  vanish-after=N (firmware records)\n"
           "  refuse-write=RID[:CODE] (repeatable; code 6 by default)  active-restart=MS (restart\n"
           "  after a change of the active profile)\n"
           "  answers-for=MAC (the SNAP header names MAC as sender)  sends-from=MAC (the Ethernet\n"
           "  source is MAC)  forges-for=MAC (before each answer, a cut-short frame and a refusing\n"
           "  ACK and response with the request's label in MAC's name)\n"
           "Firmware download faults (STEP = refuse|ignore, then :CODE for refuse (default 4),\n"
           "then :once (default: the first such record and its re-sends) or :always):\n"
           "  fail-start=STEP  fail-chunk=K:STEP (the K-th data record, from 1)  fail-end=STEP\n"
           "  fail-start-image=STEP  no-download-mode=1  restart-download=1  never-back=1\n"
           "  old-identity=1  new-version=0|8 (the SNAP version the new image speaks)  cne-reset=1\n"
           "  check-flags=1  check-identity=1\n"
           "Settings of the last profile given:\n"
           "  p-security=none|wep|wpa  p-passphrase=TEXT  p-cipher=aes|tkip  p-adhoc=0|1\n"
           "  p-static=IP/MASK/GATEWAY/DNS1[/DNS2] (DHCP off)  p-proxy=SERVER:PORT\n";
}

}  // namespace kvr::sim
