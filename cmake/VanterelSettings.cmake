# Options and compiler settings every target of ours shares: language level,
# warnings, Qt strictness. Included by the whole project and by the
# key-injection library when it is built on its own.
include_guard(GLOBAL)

option(ENABLE_SANITIZERS "Build with address and undefined-behaviour sanitizers" OFF)
option(VANTEREL_WERROR "Treat warnings as errors (on by default under CI)" OFF)
option(VANTEREL_BUILD_TESTS "Build the test suite" ON)
if(DEFINED ENV{CI} AND NOT "$ENV{CI}" STREQUAL "" AND NOT "$ENV{CI}" STREQUAL "false")
  set(VANTEREL_WERROR ON CACHE BOOL "" FORCE)
endif()
if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
  set(CMAKE_BUILD_TYPE RelWithDebInfo CACHE STRING "" FORCE)
endif()

add_library(vanterel_settings INTERFACE)
target_compile_features(vanterel_settings INTERFACE cxx_std_20)
target_compile_options(vanterel_settings INTERFACE
  $<$<CXX_COMPILER_ID:GNU,Clang>:-Wall -Wextra -pedantic -Wold-style-cast -Wnon-virtual-dtor -Woverloaded-virtual>
  $<$<AND:$<CXX_COMPILER_ID:GNU,Clang>,$<BOOL:${VANTEREL_WERROR}>>:-Werror>
  $<$<CXX_COMPILER_ID:MSVC>:/W4 $<$<BOOL:${VANTEREL_WERROR}>:/WX>>)
target_compile_definitions(vanterel_settings INTERFACE
  QT_NO_CAST_FROM_ASCII QT_NO_CONTEXTLESS_CONNECT QT_NO_KEYWORDS
  # The program's version, from the top-level project().
  $<$<BOOL:${CMAKE_PROJECT_VERSION}>:VANTEREL_VERSION_MAJOR=${CMAKE_PROJECT_VERSION_MAJOR}
    VANTEREL_VERSION_MINOR=${CMAKE_PROJECT_VERSION_MINOR} VANTEREL_VERSION_PATCH=${CMAKE_PROJECT_VERSION_PATCH}>
  # windows.h without its rarely used parts and without min/max macros,
  # for every file that includes it.
  $<$<BOOL:${WIN32}>:WIN32_LEAN_AND_MEAN NOMINMAX>
  $<$<BOOL:${VANTEREL_WERROR}>:_GLIBCXX_ASSERTIONS>)
if(ENABLE_SANITIZERS)
  target_compile_options(vanterel_settings INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(vanterel_settings INTERFACE -fsanitize=address,undefined)
endif()
