# Windows cross-builds with the mingw-w64 compilers. TARNWICK_MINGW_ARCH, which the win32 and
# win64 presets set, names the target: i686 or x86_64.
if(NOT TARNWICK_MINGW_ARCH MATCHES "^(i686|x86_64)$")
  message(FATAL_ERROR "TARNWICK_MINGW_ARCH must be i686 or x86_64, not '${TARNWICK_MINGW_ARCH}'")
endif()
# The compiler checks read this file again in projects of their own.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARNWICK_MINGW_ARCH)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${TARNWICK_MINGW_ARCH})
set(TARNWICK_MINGW_PREFIX ${TARNWICK_MINGW_ARCH}-w64-mingw32)
# The -posix compilers: the default -win32 thread model has no std::mutex.
set(CMAKE_C_COMPILER ${TARNWICK_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARNWICK_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TARNWICK_MINGW_PREFIX}-windres)
if(TARNWICK_MINGW_ARCH STREQUAL "i686")
  # Doubles rounded as doubles, as on x86_64 and Linux: with the x87's wider registers
  # 0.1 A * 1000 came out above 100 mA and the same value could round to other counts.
  # Windows 8 and later require SSE2; a Vista or 7 PC whose processor lacks it (Pentium III,
  # Athlon XP) cannot run the 32-bit build.
  set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
endif()
set(CMAKE_FIND_ROOT_PATH /usr/${TARNWICK_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Runs under Wine: a 64-bit prefix with wine32 beside wine64 runs 32-bit programs, as 64-bit
# Windows does, where the kernel runs them; wine-run skips them where it does not.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
