#pragma once
// Time stamps of the run: the monotonic counter they are measured with (the
// same 1 MHz counter the utility library's stopwatch reads), its frequency,
// and the milliseconds since a counter value.
#include <cstdint>

std::uint64_t ReadPerformanceCounter();
std::uint64_t ReadPerformanceFrequency();
// Whole milliseconds since the counter value timerBase, as the utility
// library's QueryElapsedTimeMsLongInt measures them (low 32 bits of the
// counter: correct for intervals up to about 71 minutes). Without the library
// the same arithmetic runs here, so the log works before (and without) it.
float GetElapsedMs(std::uint64_t timerBase);
