#pragma once
// Whether this process can open network adapters for raw frames, and when not,
// why and the one command that mends it. The program itself has no capability:
// raw frames need root, cap_net_raw, or the raw-frame helper beside the adapter
// library, which only root and the helper's group may run and which must hold
// cap_net_raw.
#include <string>

namespace kvr {

inline constexpr const char* kRawHelperName = "kvr-rawhelper";
inline constexpr const char* kRawHelperGroup = "kvr-installer";

enum class HelperCapability { Present, Absent, NoExtendedAttributes };

// What the system says; learnt by LearnRawAccessFacts, or given by a test.
struct RawAccessFacts {
    bool processCapable = false;  // cap_net_raw in this process's effective set
    std::string helperPath;
    std::string programPath;      // the program, for "run it as root"
    bool installed = false;       // the package's helper (under /opt/kvr-installer)
    bool helperExists = false;
    bool helperRunnable = false;  // this process may execute it
    std::string user;
    std::string helperGroup;      // the group the helper belongs to
    bool listedInGroup = false;   // the group database counts the user in it
    HelperCapability capability = HelperCapability::Absent;
};

RawAccessFacts LearnRawAccessFacts(const std::string& appDirectory);

// "" when raw frames can be had (directly or through the helper); else the cause
// found and the command that mends it.
std::string RawAccessAdvice(const RawAccessFacts& facts);

// True when only the virtual segments are asked for (KVR_ADAPTERS=virtual):
// then no real adapter is opened, so none needs raw access, and no network
// driver needs time to settle after a scan.
bool OnlyVirtualAdapters();

}  // namespace kvr
