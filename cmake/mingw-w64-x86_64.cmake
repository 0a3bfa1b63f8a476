# Cross-builds for 64-bit Windows with Debian's MinGW-w64 (the posix thread model, which the
# standard library's threads need) and runs what it builds under Wine: ctest and GoogleTest's
# test discovery start the executables through CMAKE_CROSSCOMPILING_EMULATOR.
# The whole program needs Qt built for Windows (scripts/build-qt-windows); its prefix is passed in
# CMAKE_PREFIX_PATH, as the `windows` preset does:
#   qt=$(scripts/build-qt-windows | tail -n1)
#   cmake -S . -B build/windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#     -DCMAKE_PREFIX_PATH=$qt -DQT_HOST_PATH=/usr \
#     -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake
# Without Qt only the Qt-free part builds: add -DTESSUN_CORE_ONLY=ON.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TESSUN_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TESSUN_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TESSUN_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TESSUN_MINGW_PREFIX}-windres)
set(CMAKE_OBJDUMP ${TESSUN_MINGW_PREFIX}-objdump)

# Libraries and packages come from MinGW's own root and from the prefixes given (Qt for Windows).
set(CMAKE_FIND_ROOT_PATH /usr/${TESSUN_MINGW_PREFIX} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The MinGW runtime is linked as DLLs (libstdc++-6, libgcc_s_seh-1, libwinpthread-1): Qt's DLLs
# need them anyway, and one copy of the C++ runtime in the process is what Qt was built for. The
# build copies them beside the executables (cmake/TessunWindowsRuntime.cmake).

find_program(TESSUN_WINE NAMES wine wine64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${TESSUN_WINE})
