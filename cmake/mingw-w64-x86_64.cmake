# Cross build of the Windows program (64-bit) with Debian's MinGW-w64 compiler:
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DCMAKE_BUILD_TYPE=Release
#   cmake --build build-win
# gives build-win/vandry.exe and build-win/receiver/vandry-receiver.exe, self-contained executables
# (see MINGW in CMakeLists.txt).
#
# Debian ships two variants of the compiler. The -posix one (winpthreads, linked in statically)
# is taken: Asio built with the -win32 variant throws "thread: asio.system error" at start-up.
# The plain name (an update-alternatives link to either variant) serves where the suffixed one is
# missing.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLET x86_64-w64-mingw32)

find_program(MINGW_CXX NAMES ${MINGW_TRIPLET}-g++-posix ${MINGW_TRIPLET}-g++)
if(NOT MINGW_CXX)
  message(FATAL_ERROR "${MINGW_TRIPLET}-g++ not found (Debian: apt-get install g++-mingw-w64-x86-64)")
endif()
find_program(MINGW_CC NAMES ${MINGW_TRIPLET}-gcc-posix ${MINGW_TRIPLET}-gcc)
find_program(MINGW_RC NAMES ${MINGW_TRIPLET}-windres)

set(CMAKE_CXX_COMPILER ${MINGW_CXX})
if(MINGW_CC)
  set(CMAKE_C_COMPILER ${MINGW_CC})
endif()
if(MINGW_RC)
  set(CMAKE_RC_COMPILER ${MINGW_RC})
endif()

# Libraries and headers come from the target's root only; programs from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
