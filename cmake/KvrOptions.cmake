# Warnings are errors for everything we write.
add_library(kvr_warnings INTERFACE)
target_compile_options(kvr_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Werror -Wno-missing-field-initializers
  $<$<CXX_COMPILER_ID:GNU>:-Wshadow=local>)

if(KVR_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# Output: shipped files go to the bundle directory (set per target with
# kvr_ship()); everything else stays in the build tree.
function(kvr_ship target)
  set_target_properties(${target} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${KVR_BUNDLE_DIR}
    LIBRARY_OUTPUT_DIRECTORY ${KVR_BUNDLE_DIR})
endfunction()
