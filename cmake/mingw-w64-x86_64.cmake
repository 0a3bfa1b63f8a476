# Cross-builds for 64-bit Windows with Debian's MinGW-w64 (the posix thread model, which the
# standard library's threads need) and runs what it builds under Wine: ctest and GoogleTest's
# test discovery start the executables through CMAKE_CROSSCOMPILING_EMULATOR.
#   cmake -S . -B build/windows -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DTESSUN_CORE_ONLY=ON
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TESSUN_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TESSUN_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TESSUN_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TESSUN_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TESSUN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static runtime: the executables need no MinGW DLLs beside them, under Wine or on Windows.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

find_program(TESSUN_WINE NAMES wine wine64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${TESSUN_WINE})
