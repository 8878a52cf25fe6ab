// Fuzzes the raw-frame helper's request reader: any message either is refused
// with a reason or reads as a request whose fields are within the protocol's
// bounds, and that request written out again gives back the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "HelperProtocol.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kvr::zs::helper;
    Request req;
    std::string error;
    if (!ParseRequest(data, size, req, error)) {
        Check(!error.empty());
        return 0;
    }
    std::vector<std::uint8_t> again;
    switch (req.kind) {
    case Kind::Hello: again = HelloRequest(); again.resize(1); break;
    case Kind::Filter: again = FilterRequest(req.value); break;
    case Kind::Open:
        Check(ValidAdapterName(req.name));
        again = OpenRequest(req.name, req.promiscuous);
        break;
    case Kind::Send:
        Check(req.frame.size() >= 14 && req.frame.size() <= 1514);
        again = SendRequest(req.frame.data(), req.frame.size());
        break;
    }
    if (req.kind == Kind::Hello)
        for (int i = 0; i < 4; ++i) again.push_back(static_cast<std::uint8_t>(req.value >> (8 * i)));
    Check(again == std::vector<std::uint8_t>(data, data + size));
    return 0;
}
