#pragma once
// zarni_utils: CRC-32, a millisecond stopwatch and little-endian packing
// helpers. Plain C functions exported by their undecorated names; every
// argument is a 32-bit value or a pointer. Buffers belong to the caller.
//
// The stopwatch counts a monotonic counter running at 1 MHz; a counter value
// is 64 bits, kept by the caller as two 32-bit words, low word first. Only the
// low 32 bits take part in the interval arithmetic, so intervals up to about
// 71 minutes are measured correctly, also across a wrap of the low word.
//
// Note the naming of the packing helpers: LeHiByte/LeHiWord select the LESS
// significant part of their argument and LeLoByte/LeLoWord the MORE
// significant part; LeMakeWord/LeMakeLong put their first argument in the most
// significant position.
#include <stdint.h>

#if defined(__GNUC__)
#define ZARNI_UTILS_API __attribute__((visibility("default")))
#else
#define ZARNI_UTILS_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Standard reflected CRC-32 (IEEE 802.3 / zlib) of length bytes; 0 when length <= 0.
ZARNI_UTILS_API uint32_t crc32_gen(const uint8_t* data, int32_t length);
// Runs the CRC register *crc over length bytes, without initial value or final
// complement: start at 0xFFFFFFFF, feed the pieces in order, complement at the end.
ZARNI_UTILS_API void crc32_rgen(const uint8_t* data, int32_t length, uint32_t* crc);

// Milliseconds since the counter value (startLow, startHigh).
ZARNI_UTILS_API double QueryElapsedTimeMs(uint32_t startLow, uint32_t startHigh);
// The same for the counter value at *start, truncated toward zero.
ZARNI_UTILS_API int64_t QueryElapsedTimeMsLongInt(const int64_t* start);

// (a AND 0xFF) << 8 OR (b AND 0xFF).
ZARNI_UTILS_API int32_t LeMakeWord(int32_t a, int32_t b);
// Bits 0-7 of x.
ZARNI_UTILS_API uint8_t LeHiByte(int32_t x);
// Bits 8-15 of x.
ZARNI_UTILS_API uint8_t LeLoByte(int32_t x);
// The low bytes of a, b, c, d as bits 31-24, 23-16, 15-8, 7-0.
ZARNI_UTILS_API int32_t LeMakeLong(int32_t a, int32_t b, int32_t c, int32_t d);
// Bits 0-15 of x.
ZARNI_UTILS_API int16_t LeHiWord(int32_t x);
// Bits 16-31 of x.
ZARNI_UTILS_API int16_t LeLoWord(int32_t x);

#ifdef __cplusplus
}
#endif
