# Cross build for 64-bit Windows with Debian's mingw-w64 (posix thread
# model: the win32 one has no std::thread or std::mutex in gcc 12).
# The dependency prefix comes from LUMETRA_MINGW_PREFIX in the environment,
# so try_compile runs see it too.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_ASM_NASM_COMPILER /usr/bin/nasm)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 $ENV{LUMETRA_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Debian puts no wine64 on PATH; /usr/bin/wine starts 64-bit programs.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/wine)
