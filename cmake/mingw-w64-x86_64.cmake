# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (package
# g++-mingw-w64-x86-64):
#   cmake --preset windows-inject
# A Qt 6 built for Windows with the same compiler is found when its prefix is
# given as VANTEREL_WINDOWS_QT; without one only the key-injection library,
# vanterel-keys and their checks are built.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(mingw x86_64-w64-mingw32)

# The POSIX thread model: with GCC 12 the win32 model has no std::thread or
# std::mutex, which the library's key thread needs.
find_program(CMAKE_C_COMPILER NAMES ${mingw}-gcc-posix ${mingw}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${mingw}-g++-posix ${mingw}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${mingw}-windres REQUIRED)

set(VANTEREL_WINDOWS_QT "" CACHE PATH "Prefix of a Qt 6 built for Windows with MinGW-w64 (optional)")
set(CMAKE_FIND_ROOT_PATH /usr/${mingw} ${VANTEREL_WINDOWS_QT})
# Test projects (try_compile) read this file again, in the same process.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VANTEREL_WINDOWS_QT)
# pkg-config sees the Windows libraries only: the host's .pc files would hand
# Linux libraries to the cross build.
if(VANTEREL_WINDOWS_QT)
  set(ENV{PKG_CONFIG_LIBDIR} "${VANTEREL_WINDOWS_QT}/lib/pkgconfig")
  # moc, rcc and uic of that Qt are the host's own (Debian's Qt 6, the same
  # version), as scripts/windows-qt.sh built it.
  set(QT_HOST_PATH /usr CACHE PATH "")
  set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake CACHE PATH "")
endif()
# Test executables run under Wine where the build is made on Linux.
find_program(VANTEREL_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(VANTEREL_WINE AND CMAKE_HOST_UNIX)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VANTEREL_WINE})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ runtimes and the thread library linked in: the executables
# run without MinGW's DLLs beside them, on Windows and under Wine alike.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
