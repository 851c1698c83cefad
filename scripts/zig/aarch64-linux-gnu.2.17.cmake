# CMake toolchain file: Linux aarch64 with glibc 2.17, the manylinux2014
# aarch64 target, built by zig (PyPI's ziglang; the environment variable ZIG
# names its executable). zig brings the target's glibc 2.17 symbol versions,
# its C library headers and LLVM's C++ library, which it links in statically;
# its own ar and ranlib index the target's objects, which this machine's
# binutils may not know. Used by scripts/test-aarch64.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER "${CMAKE_CURRENT_LIST_DIR}/aarch64-c++")
set(CMAKE_AR "${CMAKE_CURRENT_LIST_DIR}/ar" CACHE FILEPATH "zig's ar")
set(CMAKE_RANLIB "${CMAKE_CURRENT_LIST_DIR}/ranlib" CACHE FILEPATH "zig's ranlib")
