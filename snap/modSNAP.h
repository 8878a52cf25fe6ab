#pragma once
// The program-wide transaction label. The counter starts at 1, so the first
// label handed out is 2; after 32767 comes 1 (never 0 or a negative value).
#include <cstdint>

// Advances the label counter and returns the new label.
std::int16_t NextLabel();
// The label of the current transaction (the counter unchanged).
std::int16_t CurrentLabel();
