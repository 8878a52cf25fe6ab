#pragma once
// Small shared routines: byte arrays and numbers, formatting, string and
// picture lookup, elapsed time. None keeps state of its own (apart from the
// handle of the loaded utility library).
//
// Byte arrays are std::vector<std::uint8_t>, indexed from 0; the upper bound
// of an array is size() - 1. Little-endian is the default byte order of every
// conversion; the bigEndian flag selects big-endian.
//
// The byte-array routines throw RunTimeError for requests outside their arrays:
//   30752  invalid start and end positions (also a negative start or count)
//   30753  reading (or writing) beyond the end of the array
//   30742  hexadecimal text of odd length
// Everything else never fails towards its caller.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ElapsedTime.h"
#include "RunTimeError.h"

using ByteArray = std::vector<std::uint8_t>;

inline constexpr long kErrInvalidStartEnd = 30752;
inline constexpr long kErrReadBeyondEnd = 30753;
inline constexpr long kErrOddHexString = 30742;

// Long (32-bit, two's complement) from bytes start..end (at most 4 bytes; end
// defaults to start + 3). Fewer than four bytes give a non-negative value.
long ByteArrayToLong(const ByteArray& bytes, long start = 0, std::optional<long> end = std::nullopt,
                     bool bigEndian = false);
// Signed 16-bit value from bytes start and start + 1.
std::int16_t ByteArrayToInt(const ByteArray& bytes, long start = 0, bool bigEndian = false);
// Writes the 4 bytes of value at start..start + 3; the array is not grown.
void LongToByteArray(long value, ByteArray& bytes, long start, bool bigEndian = false);
// Writes the 2 bytes of value at start..start + 1; the array is not grown.
void IntToByteArray(std::int16_t value, ByteArray& bytes, long start, bool bigEndian = false);
// Copies count bytes from source[sourceStart..] to target[targetStart..],
// growing the target (keeping its contents) when it is too short. Returns 0.
long ByteArrayCopy(const ByteArray& source, long sourceStart, long count, ByteArray& target, long targetStart);
// True when both arrays have the same length and the same bytes.
bool ByteArraysEqual(const ByteArray& a, const ByteArray& b);
// "00 0A FF" for group size 1; a group size below 1 makes one group ("000AFF").
std::string ByteArrayToHex(const ByteArray& bytes, long groupSize = 1);
// Hexadecimal text (blanks, "0x", "&H", CR and LF ignored) to bytes. Returns 0,
// or -1 (bytes = {0}) for a text without any digit. Odd length throws 30742.
long HexString2Ascii(const std::string& text, ByteArray& bytes);
// The low 16 bits of a decimal number ("65535" gives -1). A text that is not a
// whole number from -2147483648 to 2147483647 (a fraction is rounded) leaves ok
// false, logs the error and returns 0.
std::int16_t DecStringToInt(const std::string& text, bool& ok);
// Dotted IPv4 text to a Long whose least significant byte is the first part
// ("192.168.1.2" gives 0x0201A8C0). Fewer than four parts, or a part outside
// 0..255, gives 0.
long IpStringToLong(const std::string& text);
long MinLong(long a, long b);
// "0007F5010203" -> "00:07:F5:01:02:03"; empty when shorter than 12 characters.
std::string FormatMacAddress(const std::string& text);
// "20051116" -> "2005-11-16".
std::string FormatFirmwareDate(const std::string& text);
// "134501" -> "13:45:01".
std::string FormatFirmwareTime(const std::string& text);

// The text with this identifier in the user's language: from the database's
// string tables when the database manager exists, else (and for identifiers
// missing there) the program's built-in strings. Identifiers below 1 give "".
// A text found nowhere gives def.
std::string LoadResStringWrapper(long id, const std::string& def = "");
// The program's own (built-in) text with this identifier, if it has one.
std::optional<std::string> LoadResString(long id);

// Picture kinds of LoadResPictureWrapper (the built-in pictures have one
// picture per identifier, whatever the kind).
enum PictureKind : int { PIC_BITMAP = 0, PIC_ICON = 1, PIC_CURSOR = 2 };
// The picture with this identifier as the bytes of an image file (empty = no
// picture). A picture can be replaced without rebuilding the program by
// dropping a file into the application directory:
//   pic/<UserLanguage>/<id>.<ext>, then pic/default/<id>.<ext>, then pic/<id>.<ext>
// with <ext> tried in the order png, bmp, ico, gif; the first existing file
// whose contents are an image of that kind wins. Without such a file the
// built-in picture (a PNG) is returned. Load the bytes with
// QPixmap::loadFromData, which recognises each of these formats.
std::vector<std::uint8_t> LoadResPictureWrapper(long id, int kind = PIC_BITMAP);

// Splits a path at its last separator ('/' or '\'): dir keeps the separator,
// file is the rest; without a separator dir is empty.
void SplitPath(const std::string& path, std::string& dir, std::string& file);
