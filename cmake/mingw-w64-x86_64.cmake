# Cross-compiles the Windows executables (64-bit) on Linux with MinGW-w64, and runs the test
# executables under Wine, so that `ctest` tests the real .exe files:
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# The posix-threads compiler is used: the win32-threads one lacks std::mutex and
# std::thread, which GoogleTest needs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(mingw_prefix x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${mingw_prefix}-gcc-posix)
set(CMAKE_CXX_COMPILER ${mingw_prefix}-g++-posix)
set(CMAKE_RC_COMPILER ${mingw_prefix}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${mingw_prefix})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Linked statically: otherwise the programs need the compiler's DLLs (libstdc++,
# libgcc, libwinpthread) beside them, and without those they fail to start, silently.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

find_program(MOCSLICE_WINE NAMES wine wine64)
if(MOCSLICE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${MOCSLICE_WINE})
endif()
