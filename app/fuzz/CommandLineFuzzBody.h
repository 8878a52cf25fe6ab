#pragma once
// One fuzz input through the command-line parser: the bytes as a command-line
// text, and the same bytes split at NUL characters as an argv joined for the
// parser. Shared by the libFuzzer target and the regression test. Returns
// false when a property that must always hold was broken.
#include <cstddef>
#include <cstdint>

namespace automationfuzz {
bool RunOne(const std::uint8_t* data, std::size_t size);
}
