#include "SampleFrames.h"

#include <stdexcept>

#include "CaptureKit.h"
#include "clsPayload.h"

using capkit::Bytes;
using capkit::PayloadBytes;
using capkit::SnapFrame;

namespace samples {

namespace {

void PutU16(Bytes& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v & 0xFF));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// The program's discovery request: fifteen queries and the authorization list.
Bytes DiscoveryPayload() {
    clsPayload p;
    for (Rid rid : {RID_ACTIVE_PROFILE, RID_IP_ADDRESS, RID_RSSI, RID_DEVICE_NAME, RID_AUTOIP_BUSY, RID_OPERATION_MODE,
                    RID_HARDWARE_ID, RID_HARDWARE_VERSION, RID_FIRMWARE_ID, RID_FIRMWARE_VERSION, RID_FIRMWARE_DATE,
                    RID_FIRMWARE_TIME, RID_BOOTLOADER_ID, RID_BOOTLOADER_VERSION, RID_NUM_PROFILES})
        p.AddRID(rid);
    p.AddLenRIDBlock(3, RID_AUTHORIZATION);
    p.AddLongNoRID(1);
    return PayloadBytes(p);
}

Bytes DiscoveryAnswer() {
    clsPayload p;
    p.AddWord(RID_ACTIVE_PROFILE, 1);
    p.AddIPAddr(RID_IP_ADDRESS, 0x1401A8C0);  // 192.168.1.20
    p.AddWord(RID_RSSI, static_cast<std::uint16_t>(-5));
    p.AddString(RID_DEVICE_NAME, "Kitchen", 34);
    p.AddBool(RID_AUTOIP_BUSY, false);
    p.AddBool(RID_OPERATION_MODE, true);
    p.AddLong(RID_HARDWARE_ID, 0x00010002);
    p.AddLong(RID_FIRMWARE_VERSION, 0x0203);
    p.AddLenRIDBlock(5, RID_FIRMWARE_DATE);
    p.AddBin(Text("20261207"));
    p.AddLenRIDBlock(5, RID_FIRMWARE_TIME);
    p.AddBin(Bytes{'1', '2', '0', '0', '0', '0', 0, 0});
    p.AddWord(RID_NUM_PROFILES, 2);
    return PayloadBytes(p);
}

Bytes ProfileAnswer() {
    clsPayload p;
    p.AddString(RID_DEVICE_NAME, "Kitchen", 34);
    p.AddBool(RID_DHCP, false);
    p.AddIPAddr(RID_STATIC_IP_ADDRESS, 0x0500000A);  // 10.0.0.5
    p.AddWord(RID_PROXY_PORT, 8080);
    p.AddString(RID_SSID, "HomeNet", 34);
    p.AddWord(RID_SECURITY, 2);
    p.AddStringVarLen(RID_WPA_PASSPHRASE, kPassphrase, 63);
    p.AddWord(RID_WPA_CIPHER, 1);
    p.AddWepKey(kWepKey, 1);
    p.AddWord(RID_WEP_KEY_INDEX, 1);
    p.AddString(RID_PROFILE_NAME, "Caf\xE9 \x01", 34);  // Windows code page text
    return PayloadBytes(p);
}

Bytes ErrorStatusAnswer() {
    clsPayload p;
    p.AddLenRIDBlock(3, RID_ERROR_STATUS);
    p.AddIntNoRID(static_cast<std::int16_t>(RID_START_QFW_DOWNLOAD));
    p.AddIntNoRID(1);
    p.AddLenRIDBlock(3, RID_ERROR_STATUS);
    p.AddIntNoRID(static_cast<std::int16_t>(RID_WPA_PASSPHRASE));
    p.AddIntNoRID(5);
    return PayloadBytes(p);
}

// A protocol-16 chunk record as the program writes it: count (n + 8) \ 2.
Bytes Chunk(std::int32_t offset, const Bytes& data) {
    clsPayload p;
    auto n = static_cast<std::int16_t>(data.size());
    p.AddLenRIDBlock(static_cast<std::int16_t>((n + 8) / 2), RID_DOWNLOAD_QFW_CHUNK);
    p.AddLongNoRID(offset);
    p.AddIntNoRID(n);
    p.AddBin(data);
    return PayloadBytes(p);
}

// The identity fields of a firmware header and one section descriptor.
void AddStartFields(clsPayload& p) {
    p.AddBin(Text("20261207"));
    p.AddBin(Text("120000xx"));
    p.AddLongNoRID(3);
    p.AddLongNoRID(17);
    p.AddIntNoRID(1);
    p.AddIntNoRID(2);
    p.AddBin(Bytes{0x01, 0x02, 0x03, 0x04});
    p.AddLongNoRID(2900);
    p.AddLongNoRID(static_cast<std::int32_t>(0xDEADBEEF));
}

// Replaces the payload-length field of a version-8 frame.
void SetPayloadLength(Bytes& frame, std::uint16_t n) {
    frame[28] = static_cast<std::uint8_t>(n & 0xFF);
    frame[29] = static_cast<std::uint8_t>(n >> 8);
}

}  // namespace

void WriteSampleCapture(const std::string& path) {
    capkit::CaptureFile cap(path);
    std::int64_t t = 0;
    auto add = [&](const Bytes& f) { cap.Add(f, t += 10); };

    add(SnapFrame(kMulticast, kHost, 8, 0x00, 0x1234, 0, DiscoveryPayload()));
    add(SnapFrame(kHost, kDevice, 8, 0x83, 0x1234, 0, {}));
    add(SnapFrame(kHost, kDevice, 8, 0x82, 0x1234, 0, DiscoveryAnswer()));
    add(SnapFrame(kDevice, kHost, 8, 0x03, 0x1234, 0, {}));
    add(SnapFrame(kHost, kDevice, 8, 0x02, 0x1235, 0, ProfileAnswer()));
    add(SnapFrame(kHost, kDevice, 8, 0x02, 0x1236, 0x08, ErrorStatusAnswer()));
    {
        clsPayload p;
        p.AddLenRIDBlock(4, RID_START_QFW_DOWNLOAD);
        p.AddLongNoRID(4346);
        p.AddIntNoRID(5);
        add(SnapFrame(kDevice, kHost, 8, 0x01, 0x2000, 0, PayloadBytes(p)));
    }
    add(SnapFrame(kDevice, kHost, 8, 0x01, 0x2001, 0, Chunk(1442, Bytes{1, 2, 3, 4, 5, 6})));
    add(SnapFrame(kDevice, kHost, 8, 0x01, 0x2002, 0, Chunk(0, Bytes{9, 8, 7, 6, 5})));
    {
        clsPayload p;
        p.AddLenRIDBlock(21, RID_START_IMAGE_DOWNLOAD);
        AddStartFields(p);
        add(SnapFrame(kDevice, kHost, 8, 0x01, 0x2003, 0, PayloadBytes(p)));
    }
    add(SnapFrame(kDevice, kHost, 8, 0x04, 0x2004, 0, Bytes(20, 0x5A)));
    add(SnapFrame(kDevice, kHost, 8, 0x04, 0x2005, 0, Bytes(30, 0xA5)));
    add(SnapFrame(kDevice, kHost, 8, 0x04, 0x2005, 0, Bytes(30, 0xA5)));  // the same frame re-sent
    {
        clsPayload p;
        p.AddRID(RID_ACTIVE_PROFILE);
        add(SnapFrame(kDevice, kHost, 0, 0x00, 0x0042, 0, PayloadBytes(p)));
    }
    {
        clsPayload p;
        p.AddWord(RID_ACTIVE_PROFILE, 1);
        add(SnapFrame(kHost, kDevice, 8, 0x01, 0x2006, 0x20, PayloadBytes(p)));
    }
    {  // a block whose count word runs past the payload
        clsPayload p;
        p.AddWord(RID_ACTIVE_PROFILE, 1);
        Bytes b = PayloadBytes(p);
        PutU16(b, 40);
        PutU16(b, RID_DEVICE_NAME);
        for (int i = 0; i < 6; ++i) b.push_back('x');
        add(SnapFrame(kHost, kDevice, 8, 0x02, 0x3000, 0, b));
    }
    {  // count word 0
        Bytes b;
        PutU16(b, 0);
        PutU16(b, RID_ACTIVE_PROFILE);
        PutU16(b, 1);
        add(SnapFrame(kHost, kDevice, 8, 0x02, 0x3001, 0, b));
    }
    {  // the payload length claims more than the frame holds
        clsPayload p;
        p.AddWord(RID_ACTIVE_PROFILE, 1);
        Bytes f = SnapFrame(kHost, kDevice, 8, 0x02, 0x3002, 0, PayloadBytes(p));
        SetPayloadLength(f, 100);
        add(f);
    }
    {  // the frame ends inside the version-8 header
        Bytes f = SnapFrame(kHost, kDevice, 8, 0x02, 0x3003, 0, {});
        f.resize(30);
        f[12] = 0;
        f[13] = 16;
        add(f);
    }
    {  // an odd byte after the last block
        clsPayload p;
        p.AddRID(RID_ACTIVE_PROFILE);
        Bytes b = PayloadBytes(p);
        b.push_back(0x7F);
        add(SnapFrame(kHost, kDevice, 8, 0x02, 0x3004, 0, b));
    }
    {  // a string whose character count exceeds its field
        clsPayload p;
        p.AddString(RID_DEVICE_NAME, "Kitchen", 34);
        Bytes b = PayloadBytes(p);
        b[4] = 40;
        add(SnapFrame(kHost, kDevice, 8, 0x02, 0x3005, 0, b));
    }
    {  // DSAP 0xAB, which devices tolerate in place of 0xAA
        clsPayload p;
        p.AddRID(RID_NUM_PROFILES);
        Bytes f = SnapFrame(kDevice, kHost, 8, 0x00, 0x3006, 0, PayloadBytes(p));
        f[14] = 0xAB;
        add(f);
    }
    {  // modified-SNAP bit on a write of the download control records
        clsPayload p;
        p.AddWord(RID_DOWNLOAD_MODE, 1);
        p.AddWord(RID_END_DOWNLOAD, 0);
        p.AddLong(RID_START_IMAGE, 0);
        add(SnapFrame(kDevice, kHost, 8, 0x41, 0x3007, 0, PayloadBytes(p)));
    }
    {  // a RID nobody knows, then an authorization list of two identifiers
        clsPayload p;
        p.AddWord(0x7777, 0xBEEF);
        p.AddLenRIDBlock(5, RID_AUTHORIZATION);
        p.AddLongNoRID(1);
        p.AddLongNoRID(0x0A0B0C0D);
        add(SnapFrame(kDevice, kHost, 8, 0x00, 0x3008, 0, PayloadBytes(p)));
    }
    {  // an ACK padded to the Ethernet minimum
        Bytes f = SnapFrame(kHost, kDevice, 8, 0x03, 0x3009, 0, {});
        f.resize(60, 0);
        add(f);
    }
    {
        clsPayload p;
        p.AddLenRIDBlock(23, RID_START_CNE_DOWNLOAD);
        p.AddBin(Text("CnE1"));
        AddStartFields(p);
        add(SnapFrame(kDevice, kHost, 8, 0x01, 0x300A, 0, PayloadBytes(p)));
    }
    cap.Close();
    if (cap.Count() != kFrameCount) throw std::runtime_error("sample capture: frame numbering out of step");
}

}  // namespace samples
