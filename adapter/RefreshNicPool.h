#pragma once
// Start-up's adapter check: builds the program-wide NIC pool and tells the
// user when no adapter can be used (1101) or when the wireless adapter has no
// session (1103, asked only when it is the one adapter). Also run by the main
// window's Discover button.
#include <cstdint>
#include <functional>
#include <string>

// Number of usable adapters in the pool.
std::int32_t RefreshNicPool();

namespace kvr {
// The window layer installs the routine that closes the splash window.
void SetCloseSplashHook(std::function<void()> hook);  // empty = nothing to close
}  // namespace kvr
