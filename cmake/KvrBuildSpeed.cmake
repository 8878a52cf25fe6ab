# Build speed on a small machine.
#
# Line tables are enough for backtraces, gdb's "where" and the sanitizers'
# reports, and the package strips debug information anyway; full debug
# information makes every compile and link slower for nothing we read.
# KVR_FULL_DEBUG_INFO=ON brings it back for a debugging session.
option(KVR_FULL_DEBUG_INFO "Full debug information (-g) instead of line tables (-g1)" OFF)
if(NOT KVR_FULL_DEBUG_INFO)
  foreach(lang C CXX)
    set(CMAKE_${lang}_FLAGS_DEBUG "-g1")
    set(CMAKE_${lang}_FLAGS_RELWITHDEBINFO "-O2 -g1 -DNDEBUG")
  endforeach()
endif()

# mold links the many test programs several times faster than ld.bfd.
find_program(KVR_MOLD mold)
if(KVR_MOLD)
  include(CheckLinkerFlag)
  check_linker_flag(CXX -fuse-ld=mold KVR_LINKER_MOLD)
  if(KVR_LINKER_MOLD)
    add_link_options(-fuse-ld=mold)
  endif()
endif()
