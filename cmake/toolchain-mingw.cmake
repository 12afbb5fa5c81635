# Shared part of the two MinGW-w64 toolchains (toolchain-win32.cmake,
# toolchain-win64.cmake); they set KV_MINGW_TRIPLE before including this.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${KV_MINGW_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${KV_MINGW_TRIPLE}-g++)
set(CMAKE_RC_COMPILER ${KV_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${KV_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${KV_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")

# Libraries and packages come from the MinGW sysroot only, never from the
# Linux system; programs (cmake, ninja) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${KV_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config likewise: the Linux .pc files (libsndfile) would hand us Linux
# libraries.
set(ENV{PKG_CONFIG_LIBDIR} /usr/${KV_MINGW_TRIPLE}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# The runtime (libgcc, libstdc++, winpthread) is linked in statically, so a
# deliverable or kvhost.exe needs no DLL beyond the system's own.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Programs built here run under wine64 (try_run, and tests if enabled).
find_program(KV_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT KV_WINE64)
  find_program(KV_WINE64 NAMES wine64)
endif()
