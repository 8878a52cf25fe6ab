#pragma once
// The program's own resources, compiled in at build time: the numbered texts
// of strings.tsv and the pictures of pic/builtin/<id>.png.
#include <cstddef>
#include <cstdint>

namespace kvr::res {

// The built-in text with this identifier, or nullptr when there is none.
const char* BuiltinString(long id);

struct PictureBytes {
    const std::uint8_t* data = nullptr;  // PNG file contents; nullptr when there is none
    std::size_t size = 0;
};
// The built-in picture with this identifier.
PictureBytes BuiltinPicture(long id);

}  // namespace kvr::res
