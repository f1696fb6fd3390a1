# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 compilers (the posix threads variant,
# which gives std::thread and std::mutex). Executables link statically so they run without DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(FLINTMOOR_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${FLINTMOOR_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${FLINTMOOR_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${FLINTMOOR_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${FLINTMOOR_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# zlib from libz-mingw-w64-dev: its static archive, not the import library of a DLL.
set(ZLIB_USE_STATIC_LIBS ON)

# Tests run under Wine; the caller may point WINEPREFIX at a prefix inside the build tree.
find_program(FLINTMOOR_WINE wine)
if(FLINTMOOR_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${FLINTMOOR_WINE})
endif()
