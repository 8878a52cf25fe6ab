// Fuzzes the .qfw header reader: any bytes parse or are refused by size
// alone, and the section bounds check never lets a section past the end.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "QfwHeader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kvr::QfwHeader h;
    const bool ok = kvr::ParseQfwHeader(std::span<const std::uint8_t>(data, size), h);
    if (ok != (size >= kvr::kQfwHeaderSize)) std::abort();
    if (!ok) return 0;
    (void)h.VersionText();
    (void)h.DateText();
    const auto fileSize = static_cast<std::int64_t>(size);
    for (const kvr::QfwSection* s : {&h.Image1, &h.Image2, &h.CNE}) {
        if (s->FitsIn(fileSize)) {
            const auto end = static_cast<std::int64_t>(s->Offset) + s->Length;
            if (s->Offset < 0 || s->Length < 0 || end > fileSize) std::abort();
        }
    }
    return 0;
}
