# 32-bit Windows (i686 MinGW-w64, Debian's g++-mingw-w64-i686): the real
# deliverables. SSE2 arithmetic instead of the x87 unit, so float and double
# results round as in the 64-bit builds.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(KV_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
