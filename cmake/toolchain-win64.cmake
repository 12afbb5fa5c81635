# 64-bit Windows (x86_64 MinGW-w64, Debian's g++-mingw-w64-x86-64): the
# Windows code paths, run under wine64.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(KV_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
if(KV_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KV_WINE64})
endif()
