#include "AdapterStrings.h"

#include "kvr_resources.h"

namespace kvr {
namespace {
std::function<std::string(long)>& Lookup() {
    static std::function<std::string(long)> f;
    return f;
}
}  // namespace

std::string AdapterString(long id) {
    if (Lookup()) return Lookup()(id);
    const char* s = res::BuiltinString(id);
    return s ? s : "";
}

void SetAdapterStringLookup(std::function<std::string(long)> lookup) { Lookup() = std::move(lookup); }

}  // namespace kvr
