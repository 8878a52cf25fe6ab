#include "RawAccess.h"

#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "ByteReader.h"
#include "Globals.h"

namespace kvr {
namespace {

bool EffectiveNetRaw() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    return (data[CAP_NET_RAW / 32].effective & (1u << (CAP_NET_RAW % 32))) != 0;
}

// The file's capability record: a little-endian word of revision and flags
// (bit 0: effective), then the permitted and inheritable words of each half.
HelperCapability FileCapability(const std::string& path) {
    std::uint8_t raw[64] = {};
    const ssize_t n = ::getxattr(path.c_str(), "security.capability", raw, sizeof raw);
    if (n < 0) return errno == ENOTSUP ? HelperCapability::NoExtendedAttributes : HelperCapability::Absent;
    ByteReader r(raw, static_cast<std::size_t>(n));
    const std::uint32_t magic = r.U32();
    const std::uint32_t permitted = r.U32();
    if (!r.Ok()) return HelperCapability::Absent;
    const bool effective = (magic & VFS_CAP_FLAGS_EFFECTIVE) != 0;
    return effective && (permitted & (1u << CAP_NET_RAW)) ? HelperCapability::Present : HelperCapability::Absent;
}

}  // namespace

RawAccessFacts LearnRawAccessFacts(const std::string& appDirectory) {
    RawAccessFacts f;
    f.processCapable = EffectiveNetRaw();
    f.helperPath = appDirectory + "/" + kRawHelperName;
    f.programPath = appDirectory + "/" + kProgramTitle;
    f.installed = appDirectory.rfind("/opt/kvr-installer", 0) == 0;
    struct stat st {};
    f.helperExists = ::stat(f.helperPath.c_str(), &st) == 0;
    f.helperRunnable = f.helperExists && ::access(f.helperPath.c_str(), X_OK) == 0;
    const passwd* pw = ::getpwuid(::getuid());
    f.user = pw ? pw->pw_name : std::to_string(::getuid());
    if (f.helperExists) {
        const group* gr = ::getgrgid(st.st_gid);
        f.helperGroup = gr ? gr->gr_name : std::to_string(st.st_gid);
        f.listedInGroup = pw && pw->pw_gid == st.st_gid;
        for (char** m = gr ? gr->gr_mem : nullptr; m && *m && !f.listedInGroup; ++m)
            f.listedInGroup = f.user == *m;
        f.capability = FileCapability(f.helperPath);
    }
    return f;
}

std::string RawAccessAdvice(const RawAccessFacts& f) {
    if (f.processCapable) return {};
    const std::string cannot = ", so network adapters cannot be opened for raw frames.  ";
    if (!f.helperExists)
        return "The raw-frame helper " + f.helperPath + " is missing" + cannot +
               (f.installed ? "Install it again with \"sudo apt-get install --reinstall kvr-installer\"."
                            : "Build it with \"scripts/build.sh release kvr-rawhelper\".");
    if (!f.helperRunnable) {
        const std::string group = f.helperGroup.empty() ? kRawHelperGroup : f.helperGroup;
        if (f.listedInGroup)
            return "You were added to the group " + group + " after this session began, so you may not run the raw-frame helper " +
                   f.helperPath + " yet" + cannot + "Log out and log in again.";
        return "You (" + f.user + ") are not in the group " + group + ", which may run the raw-frame helper " + f.helperPath +
               cannot + "Join it with \"sudo adduser " + f.user + " " + group + "\", then log in again.";
    }
    switch (f.capability) {
    case HelperCapability::Present:
        return {};
    case HelperCapability::NoExtendedAttributes:
        return "The file system holding " + f.helperPath +
               " keeps no extended attributes, so the raw-frame helper cannot hold the capability cap_net_raw" + cannot +
               "Run the program as root: \"sudo " + f.programPath + "\".";
    case HelperCapability::Absent:
        break;
    }
    return "The raw-frame helper " + f.helperPath + " lacks the capability cap_net_raw" + cannot + "Add it with \"sudo setcap cap_net_raw+ep " +
           f.helperPath + "\".";
}

bool OnlyVirtualAdapters() {
    const char* only = std::getenv("KVR_ADAPTERS");
    return only && std::string(only) == "virtual";
}

}  // namespace kvr
