-- Wireshark / tshark dissector for the KVR SNAP protocol: the raw 802.3
-- LLC/SNAP frames (organisation code 00-07-F5, protocol id 0) with which
-- KVRinstaller finds, configures and upgrades Zarn Adapters.
--
-- Install: copy this file into ~/.local/lib/wireshark/plugins/ (or run
-- tools/wireshark/install.sh), or load it for one run:
--     tshark -X lua_script:tools/wireshark/snap.lua -r capture.pcap
--
-- Display filters: snap, snap.label == 0x1234, snap.kind == 2, snap.mac,
-- snap.rid == 0xfc0e, snap.rid.name == "RID_DEVICE_NAME", snap.download_mode == 1,
-- snap.status != 0, snap.request_in, snap.response_in. Malformed blocks are
-- marked with expert info (filters: _ws.malformed, _ws.expert.severity == error).
--
-- WEP key slots are shown as present or absent, and a WPA pass phrase only by
-- its length: a capture decoded for a support ticket must not spell them out.
--
-- LLC hands the bytes after an unknown organisation code to the generic data
-- dissector, and Lua cannot add an organisation code to LLC, so this runs as a
-- post-dissector: it finds the LLC/SNAP header through the LLC fields, which
-- works on Ethernet, VLAN-tagged, Linux cooked and 802.11 captures alike.

-- An installed copy and one given with -X lua_script would register the
-- protocol twice, which Wireshark refuses: the first one loaded is used.
local this_file = debug.getinfo(1, "S").source:gsub("^@", "")
if rawget(_G, "kvr_snap_dissector_file") then
    io.stderr:write(string.format("%s: the KVR SNAP dissector is already loaded from %s; this copy is not used\n",
        this_file, rawget(_G, "kvr_snap_dissector_file")))
    return
end
rawset(_G, "kvr_snap_dissector_file", this_file)

local snap = Proto("snap", "KVR SNAP Protocol")

local OUI_KVR = 0x0007F5
local MAX_PAYLOAD = { [0] = 1472, [8] = 1464 }

---------------------------------------------------------------------------
-- Names and texts

local KIND_NAMES = {
    [0] = "Read request",
    [1] = "Write request",
    [2] = "Response",
    [3] = "ACK",
    [4] = "Firmware data (protocol 1)",
}

-- Response-code bits and the texts the program logs for them.
local RC_TEXT = {
    [0x01] = "unspecified error; the ResponseCode is invalid",
    [0x02] = "failure to retrieve some information; the ResponseCode is invalid",
    [0x04] = "failure to retrieve some information, unavailable info is not contained in ResponseCode",
    [0x08] = "a given RID is not available or implemented, in read responses: unavailable info is not contained in ResponseCode",
    [0x10] = "the amount of requested information did not fit into the maximum frame length.  Information at the end of the frame was stripped.",
    [0x20] = "the complete write frame has been ignored because of (frame format) errors.",
}

-- RID table: name and value encoding. Kept in step with wire/Rids.h by the
-- dissector tests.
local RIDS = {
    [0x0000] = { "RID_DHCP", "bool" },
    [0x0001] = { "RID_IP_ADDRESS", "ipv4" },
    [0x0002] = { "RID_NETMASK", "ipv4" },
    [0x0003] = { "RID_GATEWAY", "ipv4" },
    [0x0004] = { "RID_USE_PROXY", "bool" },
    [0x0005] = { "RID_PROXY_SERVER", "string" },
    [0x0006] = { "RID_PROXY_PORT", "word" },
    [0x0007] = { "RID_DNS1", "ipv4" },
    [0x0008] = { "RID_DNS2", "ipv4" },
    [0x0009] = { "RID_PROXY_SERVER_LONG", "string" },
    [0x000A] = { "RID_AUTOIP_BUSY", "bool" },
    [0x0010] = { "RID_ACTIVE_PROFILE", "word" },
    [0x0011] = { "RID_NUM_PROFILES", "sword" },
    [0x0012] = { "RID_PROFILE_NAME", "string" },
    [0x0020] = { "RID_OPERATION_MODE", "bool" },
    [0x0021] = { "RID_START_IMAGE_DOWNLOAD", "start_image" },
    [0x0022] = { "RID_FIRMWARE_VERSION", "long" },
    [0x0023] = { "RID_HARDWARE_ID", "long" },
    [0x0024] = { "RID_DOWNLOAD_MODE", "word" },
    [0x0025] = { "RID_FIRMWARE_DATE", "fixed" },
    [0x0026] = { "RID_FIRMWARE_TIME", "fixed" },
    [0x0027] = { "RID_FIRMWARE_ID", "long" },
    [0x0028] = { "RID_HARDWARE_VERSION", "long" },
    [0x0029] = { "RID_START_CNE_DOWNLOAD", "start_cne" },
    [0x0031] = { "RID_STATIC_IP_ADDRESS", "ipv4" },
    [0x0032] = { "RID_STATIC_NETMASK", "ipv4" },
    [0x0033] = { "RID_STATIC_GATEWAY", "ipv4" },
    [0x0037] = { "RID_STATIC_DNS1", "ipv4" },
    [0x0038] = { "RID_STATIC_DNS2", "ipv4" },
    [0x0042] = { "RID_BOOTLOADER_VERSION", "long" },
    [0x0047] = { "RID_BOOTLOADER_ID", "long" },
    [0x0048] = { "RID_START_IMAGE", "long" },
    [0x0049] = { "RID_END_DOWNLOAD", "end_download" },
    [0x0121] = { "RID_START_QFW_DOWNLOAD", "qfw_start" },
    [0x0122] = { "RID_DOWNLOAD_QFW_CHUNK", "qfw_chunk" },
    [0x05DC] = { "RID_PROFILE_SELECT", "word" },
    [0x05DD] = { "RID_AUTHORIZATION", "auth" },
    [0x0600] = { "RID_ERROR_STATUS", "error_status" },
    [0xE000] = { "RID_WPA_PASSPHRASE", "secret" },
    [0xE001] = { "RID_WPA_CIPHER", "cipher" },
    [0xE002] = { "RID_WPA_CIPHER_LIST", "bytes" },
    [0xFC02] = { "RID_SSID", "string" },
    [0xFC0E] = { "RID_DEVICE_NAME", "string" },
    [0xFC20] = { "RID_WEP_ENABLED", "bool" },
    [0xFC21] = { "RID_SECURITY", "security" },
    [0xFC81] = { "RID_ADHOC", "bool" },
    [0xFCB0] = { "RID_WEP_KEYS", "wep_keys" },
    [0xFCB1] = { "RID_WEP_KEY_INDEX", "word" },
    [0xFD43] = { "RID_RSSI", "sword" },
}

local RID_VALS = {}
for rid, info in pairs(RIDS) do RID_VALS[rid] = info[1] end

local SECURITY_VALS = { [0] = "none", [1] = "WEP", [2] = "WPA-PSK" }
local CIPHER_VALS = { [0] = "AES", [1] = "TKIP" }
local END_DOWNLOAD_VALS = { [0] = "download complete", [1] = "download failed" }
local ERROR_CODE_VALS = {
    [1] = "the RID exists but cannot be read",
    [5] = "supported, but cannot be read now",
}

---------------------------------------------------------------------------
-- Fields

local F = {
    version = ProtoField.uint16("snap.version", "Protocol version", base.DEC),
    type = ProtoField.uint8("snap.type", "Frame type", base.HEX),
    kind = ProtoField.uint8("snap.kind", "Kind", base.DEC, KIND_NAMES, 0x07),
    reserved = ProtoField.uint8("snap.type.reserved", "Reserved bits", base.HEX, nil, 0x38),
    modified = ProtoField.bool("snap.modified", "Modified SNAP", 8, { "set", "not set" }, 0x40),
    download_mode = ProtoField.bool("snap.download_mode", "Download mode", 8,
        { "device in download mode", "not set" }, 0x80),
    label = ProtoField.uint16("snap.label", "Label", base.HEX),
    status = ProtoField.uint8("snap.status", "Status / response code", base.HEX),
    rc_unspecified = ProtoField.bool("snap.status.unspecified", "Unspecified error", 8, nil, 0x01),
    rc_retrieve = ProtoField.bool("snap.status.retrieve_failed", "Retrieve failed", 8, nil, 0x02),
    rc_retrieve_nic = ProtoField.bool("snap.status.retrieve_failed_not_in_code",
        "Retrieve failed, not in code", 8, nil, 0x04),
    rc_rid = ProtoField.bool("snap.status.rid_unavailable", "RID not available", 8, nil, 0x08),
    rc_truncated = ProtoField.bool("snap.status.truncated", "Read response stripped", 8, nil, 0x10),
    rc_ignored = ProtoField.bool("snap.status.write_ignored", "Write frame ignored", 8, nil, 0x20),
    rc_text = ProtoField.string("snap.status.text", "Response code text"),
    length = ProtoField.uint16("snap.length", "Payload length", base.DEC),
    mac = ProtoField.ether("snap.mac", "Sender"),

    block = ProtoField.none("snap.block", "RID block"),
    count = ProtoField.uint16("snap.block.count", "Count (words)", base.DEC),
    rid = ProtoField.uint16("snap.rid", "RID", base.HEX, RID_VALS),
    rid_name = ProtoField.string("snap.rid.name", "RID name"),
    word = ProtoField.uint16("snap.value.word", "Word", base.DEC),
    sword = ProtoField.int16("snap.value.sword", "Signed word", base.DEC),
    bool = ProtoField.bool("snap.value.bool", "Boolean", 16, nil, 0xFFFF),
    long = ProtoField.uint32("snap.value.long", "Long", base.HEX_DEC),
    ipv4 = ProtoField.ipv4("snap.value.ipv4", "IPv4 address"),
    str_len = ProtoField.uint16("snap.value.string_length", "Character count", base.DEC),
    str = ProtoField.string("snap.value.string", "Text"),
    bytes = ProtoField.bytes("snap.value.bytes", "Value bytes"),
    security = ProtoField.uint16("snap.value.security", "Security", base.DEC, SECURITY_VALS),
    cipher = ProtoField.uint16("snap.value.cipher", "WPA cipher", base.DEC, CIPHER_VALS),
    secret_len = ProtoField.uint16("snap.wpa.passphrase_length", "Pass phrase length", base.DEC),

    err_rid = ProtoField.uint16("snap.error.rid", "Refused RID", base.HEX, RID_VALS),
    err_code = ProtoField.uint16("snap.error.code", "Error code", base.DEC, ERROR_CODE_VALS),
    auth_id = ProtoField.uint32("snap.auth.id", "Authorization ID", base.HEX_DEC),
    wep_slot = ProtoField.uint8("snap.wep.slot", "Key slot", base.DEC),
    wep_len = ProtoField.uint16("snap.wep.key_length", "Key length", base.DEC),
    wep_present = ProtoField.bool("snap.wep.present", "Key present"),

    dl_size = ProtoField.uint32("snap.dl.size", "Total size", base.DEC),
    dl_flags = ProtoField.uint16("snap.dl.flags", "Flags", base.HEX),
    dl_flag_always = ProtoField.bool("snap.dl.flags.file", "Whole file", 16, nil, 0x0001),
    dl_flag_cne = ProtoField.bool("snap.dl.flags.cne", "Includes CNE data", 16, nil, 0x0004),
    dl_offset = ProtoField.uint32("snap.dl.offset", "Chunk offset", base.DEC),
    dl_len = ProtoField.uint16("snap.dl.length", "Chunk length", base.DEC),
    dl_data = ProtoField.bytes("snap.dl.data", "Chunk data"),
    dl_status = ProtoField.uint16("snap.dl.status", "End status", base.DEC, END_DOWNLOAD_VALS),

    fw_cne_tag = ProtoField.bytes("snap.fw.cne_tag", "CNE tag"),
    fw_date = ProtoField.string("snap.fw.date", "Date"),
    fw_time = ProtoField.string("snap.fw.time", "Time"),
    fw_swid = ProtoField.int32("snap.fw.swid", "SWID", base.DEC),
    fw_swversion = ProtoField.int32("snap.fw.swversion", "SW version", base.DEC),
    fw_hwid = ProtoField.int16("snap.fw.hardware_id", "Hardware ID", base.DEC),
    fw_compat = ProtoField.int16("snap.fw.compatible_hardware_version", "Compatible hardware version", base.DEC),
    fw_target = ProtoField.bytes("snap.fw.target_info", "Target info"),
    fw_length = ProtoField.uint32("snap.fw.length", "Section length", base.DEC),
    fw_crc = ProtoField.uint32("snap.fw.crc", "Section CRC-32", base.HEX),

    raw_len = ProtoField.uint16("snap.raw.length", "Firmware data length", base.DEC),
    raw_data = ProtoField.bytes("snap.raw.data", "Firmware data"),
    raw_offset = ProtoField.uint32("snap.raw.offset", "Offset in the section", base.DEC),
    undecoded = ProtoField.bytes("snap.undecoded", "Undecoded bytes"),

    request_in = ProtoField.framenum("snap.request_in", "Request in frame", base.NONE, frametype.REQUEST),
    response_in = ProtoField.framenum("snap.response_in", "Response in frame", base.NONE, frametype.RESPONSE),
}

local field_list = {}
for _, f in pairs(F) do field_list[#field_list + 1] = f end
snap.fields = field_list

local E = {
    malformed = ProtoExpert.new("snap.malformed", "Malformed SNAP frame", expert.group.MALFORMED,
        expert.severity.ERROR),
    bad_value = ProtoExpert.new("snap.bad_value", "Value does not fit the RID's encoding",
        expert.group.MALFORMED, expert.severity.WARN),
    response_code = ProtoExpert.new("snap.response_code", "Device response code", expert.group.RESPONSE_CODE,
        expert.severity.WARN),
    fatal_code = ProtoExpert.new("snap.response_code.fatal", "Write frame ignored by the device",
        expert.group.RESPONSE_CODE, expert.severity.ERROR),
    refused = ProtoExpert.new("snap.refused", "RID refused by the device", expert.group.RESPONSE_CODE,
        expert.severity.NOTE),
    dsap = ProtoExpert.new("snap.dsap_ab", "LLC DSAP 0xAB taken as 0xAA", expert.group.PROTOCOL,
        expert.severity.NOTE),
    odd_chunk = ProtoExpert.new("snap.odd_chunk", "Chunk data runs past the block's count word",
        expert.group.PROTOCOL, expert.severity.NOTE),
    unknown = ProtoExpert.new("snap.unknown", "Unknown frame kind or RID", expert.group.UNDECODED,
        expert.severity.NOTE),
    oversize = ProtoExpert.new("snap.oversize", "Payload longer than the protocol allows",
        expert.group.PROTOCOL, expert.severity.WARN),
}
snap.experts = { E.malformed, E.bad_value, E.response_code, E.fatal_code, E.refused, E.dsap, E.odd_chunk,
    E.unknown, E.oversize }

-- Fields of the layers below, to find our header in whatever encapsulation.
local fx_oui = Field.new("llc.oui")
local fx_pid = Field.new("llc.pid")
local fx_dsap = Field.new("llc.dsap")
local fx_eth_src = Field.new("eth.src")
local fx_eth_dst = Field.new("eth.dst")
local fx_eth_len = Field.new("eth.len")
local fx_wlan_sa = Field.new("wlan.sa")
local fx_wlan_da = Field.new("wlan.da")

---------------------------------------------------------------------------
-- Helpers

local function hex(v, digits)
    return string.format("0x%0" .. (digits or 4) .. "X", v)
end

local function rid_name(rid)
    local info = RIDS[rid]
    if info then return info[1] end
    return "RID " .. hex(rid)
end

-- The program's reading of a response code: the text of the highest listed
-- bit that applies; bits 0x10 and 0x20 count only for type bytes 0 and 1.
local function response_code_text(code, type_byte)
    local text
    for _, bit in ipairs({ 0x01, 0x02, 0x04, 0x08 }) do
        if bit32.band(code, bit) ~= 0 then text = RC_TEXT[bit] end
    end
    if bit32.band(code, 0x10) ~= 0 and type_byte == 0 then text = RC_TEXT[0x10] end
    if bit32.band(code, 0x20) ~= 0 and type_byte == 1 then text = RC_TEXT[0x20] end
    return text or ("Unknown response code for frame type " .. type_byte)
end

local function mac_text(range)
    if not range then return nil end
    return range:bytes():tohex()
end

-- Printable text of a byte range. Devices and the program use the Windows
-- code page: printable Latin-1 characters become UTF-8, NUL bytes are
-- dropped, control characters are shown as '.'.
local function printable(range)
    return (range:raw():gsub("[\0-\31\127-\255]", function(c)
        local b = c:byte()
        if b == 0 then return "" end
        if b < 0xA0 then return "." end
        return string.char(0xC0 + math.floor(b / 64), 0x80 + b % 64)
    end))
end

---------------------------------------------------------------------------
-- Transactions: a request, the device's ACK and response and the host's ACK
-- all carry the request's label. Keyed by the host's address and the label.

local requests = {}   -- "HOSTMAC/label" -> request record
local frame_info = {} -- frame number -> { request = record } or { record = record }
-- Protocol-1 sections: "HOST>DEVICE" -> { next, length, label, offset } and,
-- per data frame, its offset and the section length.
local sections = {}
local section_frames = {}
local raw_frames = {}

function snap.init()
    requests = {}
    frame_info = {}
    sections = {}
    section_frames = {}
    raw_frames = {}
end

-- A start record begins a section; each data frame after it continues the
-- section (a re-send with the same label repeats its offset).
local function track_section_start(pinfo, key, length)
    if not key or section_frames[pinfo.number] then return end
    section_frames[pinfo.number] = true
    sections[key] = { next = 0, length = length }
end

local function track_raw(pinfo, key, label, n)
    local num = pinfo.number
    if raw_frames[num] == nil then
        local s = key and sections[key]
        if not s then
            raw_frames[num] = false
        else
            if s.label ~= label then
                s.offset, s.label = s.next, label
                s.next = s.next + n
            end
            raw_frames[num] = { offset = s.offset, length = s.length }
        end
    end
    return raw_frames[num]
end

local function track(pinfo, kind, label, src, dst)
    local n = pinfo.number
    if frame_info[n] == nil then
        if kind == 0 or kind == 1 or kind == 4 then
            if src then
                local rec = { frame = n }
                requests[src .. "/" .. label] = rec
                frame_info[n] = { record = rec }
            end
        elseif kind == 2 or kind == 3 then
            -- A device answers the host (destination); the host ACKs a
            -- response back to the device (the host is then the source).
            local rec = dst and requests[dst .. "/" .. label]
            if rec == nil and kind == 3 and src then rec = requests[src .. "/" .. label] end
            if rec then
                if kind == 2 and rec.response == nil then rec.response = n end
                frame_info[n] = { request = rec }
            end
        end
        if frame_info[n] == nil then frame_info[n] = {} end
    end
    return frame_info[n] or {}
end

---------------------------------------------------------------------------
-- RID values

-- Marks a malformed part; the Info column then says so.
local frame_malformed = false
local function malformed(item, text)
    frame_malformed = true
    item:add_proto_expert_info(E.malformed, text)
end

-- Adds an expert mark saying the value does not have the expected size.
local function wrong_size(item, name, got, want)
    item:add_proto_expert_info(E.bad_value,
        string.format("%s: value of %d bytes where %s is expected", name, got, want))
end

local function add_bytes(tree, range)
    if range and range:len() > 0 then tree:add(F.bytes, range) end
end

local decode = {}

function decode.word(tree, v, name)
    if v:len() ~= 2 then wrong_size(tree, name, v:len(), "a word (2 bytes)"); add_bytes(tree, v); return end
    tree:add_le(F.word, v)
    return tostring(v:le_uint())
end

function decode.sword(tree, v, name)
    if v:len() ~= 2 then wrong_size(tree, name, v:len(), "a word (2 bytes)"); add_bytes(tree, v); return end
    tree:add_le(F.sword, v)
    return tostring(v:le_int())
end

function decode.bool(tree, v, name)
    if v:len() ~= 2 then wrong_size(tree, name, v:len(), "a Boolean word (2 bytes)"); add_bytes(tree, v); return end
    local w = v:le_uint()
    tree:add_le(F.bool, v)
    return w ~= 0 and "True" or "False"
end

function decode.long(tree, v, name)
    if v:len() ~= 4 then wrong_size(tree, name, v:len(), "a long (4 bytes)"); add_bytes(tree, v); return end
    tree:add_le(F.long, v)
    return hex(v:le_uint(), 8)
end

function decode.ipv4(tree, v, name)
    if v:len() ~= 4 then wrong_size(tree, name, v:len(), "an IPv4 address (4 bytes)"); add_bytes(tree, v); return end
    -- The first octet is the least significant byte, so the wire holds the
    -- address in dotted order: read it as written.
    tree:add(F.ipv4, v)
    return tostring(v:ipv4())
end

local function enum_word(field, vals)
    return function(tree, v, name)
        if v:len() ~= 2 then wrong_size(tree, name, v:len(), "a word (2 bytes)"); add_bytes(tree, v); return end
        tree:add_le(field, v)
        local w = v:le_uint()
        return vals[w] or tostring(w)
    end
end
decode.security = enum_word(F.security, SECURITY_VALS)
decode.cipher = enum_word(F.cipher, CIPHER_VALS)
decode.end_download = enum_word(F.dl_status, END_DOWNLOAD_VALS)

-- Character count, then the characters (fixed fields carry unused positions).
function decode.string(tree, v, name)
    if v:len() < 2 then wrong_size(tree, name, v:len(), "a character count and text"); add_bytes(tree, v); return end
    local n = v(0, 2):le_uint()
    tree:add_le(F.str_len, v(0, 2))
    if n > v:len() - 2 then
        malformed(tree, string.format(
            "%s: character count %d exceeds the %d character positions of the field", name, n, v:len() - 2))
        return
    end
    local text = n > 0 and printable(v(2, n)) or ""
    if n > 0 then tree:add(F.str, v(2, n), text) else tree:add(F.str, v(0, 2), "") end
    return '"' .. text .. '"'
end

-- A fixed-length text: every byte of the field.
function decode.fixed(tree, v, name)
    if v:len() == 0 then return '""' end
    local text = printable(v)
    tree:add(F.str, v, text)
    return '"' .. text .. '"'
end

-- The pass phrase is shown by its length only.
function decode.secret(tree, v, name)
    if v:len() < 2 then wrong_size(tree, name, v:len(), "a character count and text"); return end
    local n = v(0, 2):le_uint()
    tree:add_le(F.secret_len, v(0, 2)):append_text(" (text not shown)")
    if n > v:len() - 2 then
        malformed(tree, string.format(
            "%s: character count %d exceeds the %d character positions of the field", name, n, v:len() - 2))
        return
    end
    return n .. " characters, not shown"
end

function decode.bytes(tree, v, name)
    add_bytes(tree, v)
    return v:len() .. " bytes"
end

-- Four 16-byte key slots; each starts with the key's byte count. Only
-- present/absent and the length are shown, never the key.
function decode.wep_keys(tree, v, name)
    if v:len() ~= 64 then wrong_size(tree, name, v:len(), "four 16-byte key slots (64 bytes)") end
    local present = {}
    for slot = 0, 3 do
        local off = slot * 16
        if off + 16 > v:len() then break end
        local r = v(off, 16)
        local klen = r(0, 2):le_uint()
        local any = false
        for i = 0, 15 do if r(i, 1):uint() ~= 0 then any = true; break end end
        -- The items cover the length word only, so no export of the decode
        -- carries the key bytes as an item's value.
        local st = tree:add(F.wep_slot, r(0, 2), slot)
        st:set_text(string.format("Key slot %d: %s", slot,
            any and string.format("present (%d-byte key)", klen) or "absent"))
        st:add_le(F.wep_len, r(0, 2))
        st:add(F.wep_present, r(0, 2), any)
        if any then present[#present + 1] = tostring(slot) end
    end
    if #present == 0 then return "no key" end
    return "key in slot " .. table.concat(present, ", ")
end

function decode.auth(tree, v, name)
    if v:len() % 4 ~= 0 then wrong_size(tree, name, v:len(), "a list of longs (a multiple of 4 bytes)") end
    local ids = {}
    for off = 0, v:len() - 4, 4 do
        tree:add_le(F.auth_id, v(off, 4))
        ids[#ids + 1] = hex(v(off, 4):le_uint(), 8)
    end
    return table.concat(ids, ", ")
end

function decode.error_status(tree, v, name)
    if v:len() == 0 or v:len() % 4 ~= 0 then
        malformed(tree, string.format(
            "%s: value of %d bytes; each refused RID takes 4 bytes (RID, error code)", name, v:len()))
    end
    local parts = {}
    for off = 0, v:len() - 4, 4 do
        local rid = v(off, 2):le_uint()
        local code = v(off + 2, 2):le_uint()
        local pt = tree:add(F.err_rid, v(off, 2), rid)
        pt:set_text(string.format("%s refused, error code %d%s", rid_name(rid), code,
            ERROR_CODE_VALS[code] and (" (" .. ERROR_CODE_VALS[code] .. ")") or ""))
        pt:add_le(F.err_code, v(off + 2, 2))
        pt:add_proto_expert_info(E.refused, string.format("%s refused with error code %d", rid_name(rid), code))
        parts[#parts + 1] = rid_name(rid) .. " code " .. code
    end
    return table.concat(parts, "; ")
end

function decode.qfw_start(tree, v, name)
    if v:len() ~= 6 then
        wrong_size(tree, name, v:len(), "total size and flags (6 bytes)")
        if v:len() < 6 then add_bytes(tree, v); return end
    end
    tree:add_le(F.dl_size, v(0, 4))
    local ft = tree:add_le(F.dl_flags, v(4, 2))
    ft:add_le(F.dl_flag_always, v(4, 2))
    ft:add_le(F.dl_flag_cne, v(4, 2))
    return string.format("size %d, flags %s", v(0, 4):le_uint(), hex(v(4, 2):le_uint()))
end

-- Start records of protocol 1: the file header's identity fields and one
-- section descriptor (the CNE record begins with the CNE tag).
-- The section length of the start record decoded last (protocol-1 data frames
-- carry no offset: it is counted from the start record).
local started_section_length

local function start_record(with_tag)
    local want = with_tag and 44 or 40
    return function(tree, v, name)
        if v:len() ~= want then
            wrong_size(tree, name, v:len(), want .. " bytes")
            if v:len() < want then add_bytes(tree, v); return end
        end
        local o = 0
        if with_tag then tree:add(F.fw_cne_tag, v(0, 4)); o = 4 end
        tree:add(F.fw_date, v(o, 8), printable(v(o, 8)))
        tree:add(F.fw_time, v(o + 8, 8), printable(v(o + 8, 8)))
        tree:add_le(F.fw_swid, v(o + 16, 4))
        tree:add_le(F.fw_swversion, v(o + 20, 4))
        tree:add_le(F.fw_hwid, v(o + 24, 2))
        tree:add_le(F.fw_compat, v(o + 26, 2))
        tree:add(F.fw_target, v(o + 28, 4))
        tree:add_le(F.fw_length, v(o + 32, 4))
        tree:add_le(F.fw_crc, v(o + 36, 4))
        started_section_length = v(o + 32, 4):le_uint()
        return string.format("version %d.%d, section length %d", v(o + 16, 4):le_int(), v(o + 20, 4):le_int(),
            v(o + 32, 4):le_uint())
    end
end
decode.start_image = start_record(false)
decode.start_cne = start_record(true)

---------------------------------------------------------------------------
-- Payloads

-- One RID block at `off` of the payload range `p`. Returns the offset of the
-- next block, or nil when the walk cannot go on, and a short summary.
local function dissect_block(p, off, tree, kind)
    local left = p:len() - off
    if left < 2 then
        local it = tree:add(F.undecoded, p(off, left))
        malformed(it, "A stray byte after the last RID block")
        return nil
    end
    local count = p(off, 2):le_uint()
    local size = 2 + 2 * count
    if count == 0 then
        local bt = tree:add(F.block, p(off, 2))
        bt:set_text("RID block with count 0")
        bt:add_le(F.count, p(off, 2))
        malformed(bt, "Count word 0: a block holds at least its RID")
        if left > 2 then tree:add(F.undecoded, p(off + 2, left - 2)) end
        return nil
    end
    if left < 4 then
        local bt = tree:add(F.block, p(off, left))
        bt:set_text("RID block, cut short")
        bt:add_le(F.count, p(off, 2))
        malformed(bt, string.format(
            "Count word %d claims %d bytes but only %d remain in the payload", count, size, left))
        return nil
    end
    local rid = p(off + 2, 2):le_uint()
    local name = rid_name(rid)
    local info = RIDS[rid]
    local enc = info and info[2] or "bytes"

    local past = size > left
    local blen = past and left or size
    local bt = tree:add(F.block, p(off, blen))
    bt:add_le(F.count, p(off, 2))
    bt:add_le(F.rid, p(off + 2, 2))
    bt:add(F.rid_name, p(off + 2, 2), name):set_generated(true)
    if info == nil then
        bt:add_proto_expert_info(E.unknown, "Unknown RID " .. hex(rid))
    end
    if past then
        bt:set_text(string.format("%s, cut short", name))
        malformed(bt, string.format(
            "Count word %d claims %d bytes but only %d remain in the payload", count, size, left))
        if left > 4 then bt:add(F.undecoded, p(off + 4, left - 4)) end
        return nil, name
    end

    if count == 1 then
        bt:set_text(string.format(kind == 0 and "%s (query)" or "%s (no value)", name))
        return off + size, name
    end

    local v = p(off + 4, size - 4)
    local next_off = off + size
    local summary
    if enc == "qfw_chunk" then
        -- Offset, byte count n, n data bytes. The count word is (n + 8) \ 2,
        -- so for an odd n the last data byte lies just past the counted block.
        if v:len() < 6 then
            wrong_size(bt, name, v:len(), "an offset, a length and the data")
            add_bytes(bt, v)
        else
            local n = v(4, 2):le_uint()
            local have = v:len() - 6
            bt:add_le(F.dl_offset, v(0, 4))
            bt:add_le(F.dl_len, v(4, 2))
            local data_len = n
            if n > have then
                local extra = n - have
                if next_off + extra <= p:len() then
                    next_off = next_off + extra
                    bt:set_len(size + extra)
                    bt:add_proto_expert_info(E.odd_chunk, string.format(
                        "Chunk length %d: the last %d byte(s) lie past the block's count word %d",
                        n, extra, count))
                else
                    data_len = have + (p:len() - next_off)
                    next_off = p:len()
                    malformed(bt, string.format(
                        "Chunk length %d but only %d data bytes in the payload", n, data_len))
                end
            elseif n < have then
                bt:add_proto_expert_info(E.bad_value, string.format(
                    "Chunk length %d but the block holds %d data bytes", n, have))
            end
            if data_len > 0 then bt:add(F.dl_data, p(off + 10, data_len)) end
            summary = string.format("offset %d, %d bytes", v(0, 4):le_uint(), n)
        end
    else
        summary = decode[enc](bt, v, name)
    end
    bt:set_text(summary and (name .. ": " .. summary) or name)
    return next_off, name, summary
end

local function dissect_blocks(p, tree, kind)
    local off, names = 0, {}
    while off and off < p:len() do
        local name
        off, name = dissect_block(p, off, tree, kind)
        if name then names[#names + 1] = name end
    end
    return names
end

---------------------------------------------------------------------------
-- Finding the header

-- Returns the data source, the offset of the SNAP protocol header and
-- whether the LLC DSAP was 0xAB.
local function locate(tvb)
    local ouis, pids, dsaps = { fx_oui() }, { fx_pid() }, { fx_dsap() }
    for _, o in ipairs(ouis) do
        if o.value == OUI_KVR then
            for _, pid in ipairs(pids) do
                if pid.offset == o.offset + 3 and pid.value == 0 then
                    return o.source, o.offset + 5, false
                end
            end
        end
    end
    -- Devices tolerate 0xAB in place of the SNAP DSAP; LLC does not take such a
    -- frame as SNAP, so the headers are compared here.
    for _, d in ipairs(dsaps) do
        if d.value == 0xAB then
            local t, o = d.source, d.offset
            if t and t:len() >= o + 8 and t(o + 1, 2):uint() == 0xAA03 and t(o + 3, 4):uint() == 0x0007F500
                and t(o + 7, 1):uint() == 0 then
                return t, o + 8, true
            end
        end
    end
    -- Without a protocol tree (tshark's first pass, for one) there are no LLC
    -- fields: read an Ethernet frame's headers directly.
    if #ouis == 0 and #dsaps == 0 and tvb:len() >= 22 and tvb(12, 2):uint() <= 1500 then
        local dsap = tvb(14, 1):uint()
        if (dsap == 0xAA or dsap == 0xAB) and tvb(15, 2):uint() == 0xAA03 and tvb(17, 4):uint() == 0x0007F500
            and tvb(21, 1):uint() == 0 then
            return tvb, 22, dsap == 0xAB, true
        end
    end
    return nil
end

-- The last field of a set (the innermost header), or nil.
local function last(fx)
    local all = { fx() }
    return all[#all]
end

---------------------------------------------------------------------------
-- The dissector

function snap.dissector(tvb, pinfo, root)
    local src_tvb, start, alt_dsap, bare = locate(tvb)
    if not src_tvb then return end
    frame_malformed = false

    -- Bytes of the frame that belong to it (802.3 padding excluded).
    local limit = src_tvb:len()
    local elen = last(fx_eth_len)
    if elen and elen.offset < start and elen.offset + 2 + elen.value < limit then
        limit = elen.offset + 2 + elen.value
    elseif bare and 14 + tvb(12, 2):uint() < limit then
        limit = 14 + tvb(12, 2):uint()
    end
    local avail = limit - start

    pinfo.cols.protocol = "SNAP"
    local tree = root:add(snap, src_tvb(start, math.max(avail, 0)))
    if alt_dsap then tree:add_proto_expert_info(E.dsap) end

    if avail < 2 then
        malformed(tree, "Frame ends before the SNAP header")
        pinfo.cols.info = "SNAP frame cut short"
        return
    end

    local version = src_tvb(start, 2):le_uint() == 8 and 8 or 0
    local hdr = version == 8 and 14 or 6
    local base_off = version == 8 and start + 2 or start
    if avail < hdr then
        if version == 8 then tree:add_le(F.version, src_tvb(start, 2)) end
        malformed(tree, string.format(
            "Frame ends inside the version-%d SNAP header (%d of %d bytes)", version, avail, hdr))
        pinfo.cols.info = "SNAP frame cut short"
        return
    end

    if version == 8 then
        tree:add_le(F.version, src_tvb(start, 2))
    else
        tree:add(F.version, src_tvb(start, 0), 0):set_generated(true)
    end
    local type_byte = src_tvb(base_off, 1):uint()
    local kind = bit32.band(type_byte, 0x07)
    local tt = tree:add(F.type, src_tvb(base_off, 1))
    tt:append_text(" (" .. (KIND_NAMES[kind] or ("kind " .. kind)) .. ")")
    tt:add(F.kind, src_tvb(base_off, 1))
    tt:add(F.reserved, src_tvb(base_off, 1))
    tt:add(F.modified, src_tvb(base_off, 1))
    tt:add(F.download_mode, src_tvb(base_off, 1))

    local label = src_tvb(base_off + 1, 2):le_uint()
    tree:add_le(F.label, src_tvb(base_off + 1, 2))

    local code = src_tvb(base_off + 3, 1):uint()
    local st = tree:add(F.status, src_tvb(base_off + 3, 1))
    for _, f in ipairs({ F.rc_unspecified, F.rc_retrieve, F.rc_retrieve_nic, F.rc_rid, F.rc_truncated,
        F.rc_ignored }) do
        st:add(f, src_tvb(base_off + 3, 1))
    end
    if code ~= 0 then
        local text = response_code_text(code, type_byte)
        st:add(F.rc_text, src_tvb(base_off + 3, 1), text):set_generated(true)
        if bit32.band(code, 0x20) ~= 0 and type_byte == 1 then
            st:add_proto_expert_info(E.fatal_code, "Response code " .. hex(code, 2) .. ": " .. text)
        else
            st:add_proto_expert_info(E.response_code, "Response code " .. hex(code, 2) .. ": " .. text)
        end
    end

    local plen = src_tvb(base_off + 4, 2):le_uint()
    local lt = tree:add_le(F.length, src_tvb(base_off + 4, 2))

    -- The sender: the header's own field in version 8, else the link source.
    local src_range, dst_range
    local esrc, edst = last(fx_eth_src), last(fx_eth_dst)
    if esrc then src_range = esrc.range else local w = last(fx_wlan_sa); src_range = w and w.range end
    if edst then dst_range = edst.range else local w = last(fx_wlan_da); dst_range = w and w.range end
    if bare then src_range, dst_range = tvb(6, 6), tvb(0, 6) end
    local sender
    if version == 8 then
        sender = src_tvb(start + 8, 6)
        tree:add(F.mac, sender)
    elseif src_range then
        sender = src_range
        tree:add(F.mac, src_range):set_generated(true)
    end

    local pay_off = start + hdr
    local pay_avail = avail - hdr
    if plen > MAX_PAYLOAD[version] then
        lt:add_proto_expert_info(E.oversize, string.format(
            "Payload length %d exceeds the version-%d maximum of %d", plen, version, MAX_PAYLOAD[version]))
    end
    local take = plen
    if plen > pay_avail then
        malformed(lt, string.format(
            "Payload length %d but the frame holds only %d payload bytes", plen, pay_avail))
        take = pay_avail
    end
    local p = src_tvb(pay_off, take)

    -- Transactions.
    local fi = track(pinfo, kind, label, mac_text(src_range), mac_text(dst_range))
    if fi.request then
        tree:add(F.request_in, src_tvb(base_off + 1, 2), fi.request.frame):set_generated(true)
    elseif fi.record and fi.record.response then
        tree:add(F.response_in, src_tvb(base_off + 1, 2), fi.record.response):set_generated(true)
    end

    local names = {}
    local section_key = src_range and dst_range and (mac_text(src_range) .. ">" .. mac_text(dst_range))
    if kind == 3 then
        if take > 0 then
            local u = tree:add(F.undecoded, p)
            u:add_proto_expert_info(E.bad_value, "An ACK carries no payload")
        end
    elseif kind == 4 then
        tree:add(F.raw_len, src_tvb(base_off + 4, 2), take):set_generated(true)
        local sec = track_raw(pinfo, section_key, label, take)
        if sec then
            local it = tree:add(F.raw_offset, src_tvb(base_off + 4, 2), sec.offset)
            it:set_generated(true)
            if sec.length then
                it:append_text(string.format(" (bytes %d to %d of %d)", sec.offset, sec.offset + take - 1, sec.length))
                if sec.offset + take > sec.length then
                    it:add_proto_expert_info(E.bad_value, "Data runs past the section length of the start record")
                end
            end
        end
        if take > 0 then tree:add(F.raw_data, p) end
    elseif kind <= 2 then
        started_section_length = nil
        names = dissect_blocks(p, tree, kind)
        if kind == 1 and started_section_length then
            track_section_start(pinfo, section_key, started_section_length)
        end
    else
        tree:add_proto_expert_info(E.unknown, "Unknown frame kind " .. kind)
        if take > 0 then tree:add(F.undecoded, p) end
    end

    -- Summary line and Info column.
    local info = string.format("%s, label %s", KIND_NAMES[kind] or ("Kind " .. kind), hex(label))
    if sender then info = info .. ", from " .. sender:bytes():tohex() end
    if version == 0 then info = info .. ", v0" end
    if bit32.band(type_byte, 0x80) ~= 0 then info = info .. ", download mode" end
    if bit32.band(type_byte, 0x40) ~= 0 then info = info .. ", modified SNAP" end
    if code ~= 0 then info = info .. ", code " .. hex(code, 2) end
    if kind == 4 then
        info = info .. string.format(", %d bytes", take)
    elseif #names > 0 then
        local shown = {}
        for i = 1, math.min(#names, 4) do shown[i] = names[i]:gsub("^RID_", "") end
        info = info .. ": " .. table.concat(shown, " ")
        if #names > 4 then info = info .. string.format(" (+%d)", #names - 4) end
    end
    if frame_malformed then info = info .. " [Malformed]" end
    tree:append_text(", " .. info)
    pinfo.cols.info = info
end

register_postdissector(snap)
