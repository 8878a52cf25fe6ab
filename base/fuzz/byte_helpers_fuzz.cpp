// Fuzzes the byte-array and text helpers: arbitrary arrays with arbitrary
// positions and counts, arbitrary hexadecimal, decimal and address texts.
// Nothing may read or write outside an array; refused requests throw only
// their numbered errors; hexadecimal text made of bytes reads back as them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "basUtils.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

void CheckNumber(const RunTimeError& e) {
    Check(e.Number() == kErrInvalidStartEnd || e.Number() == kErrReadBeyondEnd || e.Number() == kErrOddHexString);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 6) return 0;
    // Positions are small signed numbers so that both edges get hit.
    const long start = static_cast<std::int8_t>(data[0]);
    const long end = static_cast<std::int8_t>(data[1]);
    const long count = static_cast<std::int8_t>(data[2]);
    const long targetStart = static_cast<std::int8_t>(data[3]);
    const bool bigEndian = data[4] & 1;
    const long group = static_cast<std::int8_t>(data[5]);
    const ByteArray bytes(data + 6, data + size);
    const std::string text(reinterpret_cast<const char*>(data + 6), size - 6);

    try {
        const long v = ByteArrayToLong(bytes, start, end, bigEndian);
        Check(start >= 0 && end >= start && end - start <= 3 && static_cast<std::size_t>(end) < bytes.size());
        std::uint32_t expect = 0;
        for (long k = 0; k <= end - start; ++k) {
            const std::uint8_t b = bytes[static_cast<std::size_t>(bigEndian ? start + k : end - k)];
            expect = (expect << 8) | b;
        }
        Check(v == static_cast<std::int32_t>(expect));
    } catch (const RunTimeError& e) {
        CheckNumber(e);
    }
    try {
        (void)ByteArrayToInt(bytes, start, bigEndian);
    } catch (const RunTimeError& e) {
        CheckNumber(e);
    }
    try {
        ByteArray target(bytes);
        LongToByteArray(static_cast<long>(size) * 7919, target, start, bigEndian);
        IntToByteArray(static_cast<std::int16_t>(size), target, end, bigEndian);
        Check(target.size() == bytes.size());
    } catch (const RunTimeError& e) {
        CheckNumber(e);
    }
    try {
        ByteArray target(static_cast<std::size_t>(data[5] % 16), 0xEE);
        ByteArrayCopy(bytes, start, count, target, targetStart);
        Check(count >= 0 && start >= 0 && targetStart >= 0);
        for (long k = 0; k < count; ++k)
            Check(target[static_cast<std::size_t>(targetStart + k)] == bytes[static_cast<std::size_t>(start + k)]);
    } catch (const RunTimeError& e) {
        CheckNumber(e);
    }

    // Hexadecimal text of these bytes reads back as the same bytes.
    if (!bytes.empty()) {
        ByteArray back;
        Check(HexString2Ascii(ByteArrayToHex(bytes, group), back) == 0);
        Check(back == bytes);
    }
    try {
        ByteArray out;
        const long r = HexString2Ascii(text, out);
        Check(r == 0 || r == -1);
        Check(!out.empty());
    } catch (const RunTimeError& e) {
        Check(e.Number() == kErrOddHexString);
    }

    bool ok = false;
    (void)DecStringToInt(text, ok);
    (void)IpStringToLong(text);
    (void)FormatMacAddress(text);
    (void)FormatFirmwareDate(text);
    (void)FormatFirmwareTime(text);
    std::string dir, file;
    SplitPath(text, dir, file);
    Check(dir + file == text);
    return 0;
}
