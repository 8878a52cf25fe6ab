#include "LibraryLoader.h"

#include <dlfcn.h>

#include <cstring>
#include <filesystem>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

namespace kvr {

namespace {

// The error numbers the program's trap handlers report for a library problem.
constexpr long kErrFileNotFound = 53;
constexpr long kErrEntryPointNotFound = 453;

struct Library {
    const char* file;
    void* handle = nullptr;
    std::string loadError;  // dlerror() text of the last failed load
    // Resolved exports; a null value remembers an export the library lacks.
    std::unordered_map<std::string, void*> exports;
};

// Download lanes resolve exports from threads of their own: lookups of known
// exports share the lock, loading and resolving a new one takes it alone.
struct State {
    std::shared_mutex lock;
    bool dirSet = false;
    std::string dir;
    Library supp{kZarniSuppFile};
    Library utils{kZarniUtilsFile};
};

State& S() {
    static State s;
    return s;
}

const std::string& Dir() {
    State& s = S();
    if (!s.dirSet) {
        s.dir = ExecutableDirectory();
        s.dirSet = true;
    }
    return s.dir;
}

std::string FullPath(const char* file) {
    const std::string& d = Dir();
    if (!d.empty() && d.back() == '/') return d + file;
    return d + "/" + file;
}

void Forget(Library& lib) {
    if (lib.handle) ::dlclose(lib.handle);
    lib.handle = nullptr;
    lib.loadError.clear();
    lib.exports.clear();
}

Library* Find(const char* library) {
    if (!library) return nullptr;
    State& s = S();
    if (std::strcmp(library, kZarniSuppFile) == 0) return &s.supp;
    if (std::strcmp(library, kZarniUtilsFile) == 0) return &s.utils;
    return nullptr;
}

bool Load(Library& lib, LibError& err) {
    if (lib.handle) return true;
    const std::string path = FullPath(lib.file);
    ::dlerror();
    lib.handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib.handle) {
        const char* why = ::dlerror();
        lib.loadError = why ? why : "cannot be loaded";
        err.number = kErrFileNotFound;
        err.description = "File not found: " + path + " (" + lib.loadError + ")";
        return false;
    }
    return true;
}

ExportResolver g_resolver = nullptr;

void* Resolve(Library& lib, const char* name, LibError& err) {
    if (g_resolver) {
        void* sym = g_resolver(lib.file, name);
        if (!sym) {
            err.number = kErrEntryPointNotFound;
            err.description = std::string("Can't find DLL entry point ") + name + " in " + lib.file;
        }
        return sym;
    }
    State& s = S();
    {
        std::shared_lock known(s.lock);
        if (lib.handle) {
            auto it = lib.exports.find(name);
            if (it != lib.exports.end() && it->second) return it->second;
        }
    }
    std::unique_lock alone(s.lock);
    if (!Load(lib, err)) return nullptr;
    auto [it, fresh] = lib.exports.try_emplace(name, nullptr);
    if (fresh) {
        ::dlerror();
        it->second = ::dlsym(lib.handle, name);
    }
    if (!it->second) {
        err.number = kErrEntryPointNotFound;
        err.description = std::string("Can't find DLL entry point ") + name + " in " + FullPath(lib.file);
    }
    return it->second;
}

template <typename Fn>
Fn Utils(const char* name) {
    LibError err;
    return reinterpret_cast<Fn>(Resolve(S().utils, name, err));
}

}  // namespace

std::string ExecutableDirectory() {
    static const std::string dir = [] {
        std::error_code ec;
        const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
        return ec ? std::string(".") : exe.parent_path().string();
    }();
    return dir;
}

void SetLibraryDirectory(const std::string& dir) {
    State& s = S();
    std::unique_lock alone(s.lock);
    Forget(s.supp);
    Forget(s.utils);
    s.dir = dir;
    s.dirSet = true;
}

std::string LibraryDirectory() {
    std::unique_lock alone(S().lock);
    return Dir();
}

void SetExportResolver(ExportResolver resolver) { g_resolver = resolver; }

void* FindExport(const char* library, const char* exportName, LibError& err) {
    err = {};
    Library* lib = Find(library);
    if (!lib) {
        err.number = kErrFileNotFound;
        err.description = std::string("File not found: ") + (library ? library : "");
        return nullptr;
    }
    return Resolve(*lib, exportName, err);
}

bool ResolveExport(const char* library, const char* exportName, LibError& err) {
    return FindExport(library, exportName, err) != nullptr;
}

namespace zu {

std::uint32_t crc32_gen(const std::uint8_t* data, std::int32_t length) {
    auto f = Utils<Crc32GenFn>("crc32_gen");
    return f ? f(data, length) : 0;
}
void crc32_rgen(const std::uint8_t* data, std::int32_t length, std::uint32_t* crc) {
    auto f = Utils<Crc32RgenFn>("crc32_rgen");
    if (f) f(data, length, crc);
}
double QueryElapsedTimeMs(std::uint32_t startLow, std::uint32_t startHigh) {
    auto f = Utils<ElapsedMsFn>("QueryElapsedTimeMs");
    return f ? f(startLow, startHigh) : 0.0;
}
std::int64_t QueryElapsedTimeMsLongInt(const std::int64_t* start) {
    auto f = Utils<ElapsedMsLongIntFn>("QueryElapsedTimeMsLongInt");
    return f ? f(start) : 0;
}
std::int32_t LeMakeWord(std::int32_t a, std::int32_t b) {
    auto f = Utils<MakeWordFn>("LeMakeWord");
    return f ? f(a, b) : 0;
}
std::uint8_t LeHiByte(std::int32_t x) {
    auto f = Utils<ByteOfFn>("LeHiByte");
    return f ? f(x) : 0;
}
std::uint8_t LeLoByte(std::int32_t x) {
    auto f = Utils<ByteOfFn>("LeLoByte");
    return f ? f(x) : 0;
}
std::int32_t LeMakeLong(std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d) {
    auto f = Utils<MakeLongFn>("LeMakeLong");
    return f ? f(a, b, c, d) : 0;
}
std::int16_t LeHiWord(std::int32_t x) {
    auto f = Utils<WordOfFn>("LeHiWord");
    return f ? f(x) : 0;
}
std::int16_t LeLoWord(std::int32_t x) {
    auto f = Utils<WordOfFn>("LeLoWord");
    return f ? f(x) : 0;
}

}  // namespace zu

}  // namespace kvr
