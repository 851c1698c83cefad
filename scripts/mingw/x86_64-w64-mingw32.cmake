# CMake toolchain file: 64-bit Windows, built by Debian's mingw-w64 (the
# POSIX-threads flavour, whose libstdc++ has std::thread). -static puts
# libgcc, libstdc++ and winpthread inside the module, which then needs only
# KERNEL32, msvcrt and the interpreter's pythonXY.dll (Python_LIBRARY names
# that DLL: GNU ld links against a DLL directly). Used by scripts/test-windows.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
