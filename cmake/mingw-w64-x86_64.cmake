# Cross-compiles 64-bit Windows programs with Debian's mingw-w64 (the posix
# thread model, for std::thread). Programs built here run under wine: ctest
# starts each test through the emulator below, in a wine prefix inside the
# build folder (made once per test run, see cmake/WineTests.cmake).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZK_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZK_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One .exe that imports only the system's DLLs: no libstdc++, libgcc or
# winpthread DLLs to ship beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# The wine prefix lives in the build folder, so runs leave nothing in ~/.wine
# and never share state. No Mono or Gecko: nothing here needs them.
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${CMAKE_COMMAND} -E env WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix WINEDEBUG=-all
    WINEDLLOVERRIDES=mscoree,mshtml= wine)
