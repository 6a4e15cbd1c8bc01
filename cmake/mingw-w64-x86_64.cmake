# Cross-building for 64-bit Windows with Debian's mingw-w64 (the posix-threads flavour, which
# std::thread and std::mutex need). The runtime is linked in statically, so the programs run
# without the compiler's DLLs beside them; Wine runs them here, so ctest works unchanged.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VARK_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VARK_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VARK_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VARK_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VARK_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

find_program(VARK_WINE NAMES wine wine64)
if(VARK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VARK_WINE})
endif()
