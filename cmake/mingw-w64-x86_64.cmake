# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (the posix thread model, so that
# std::thread and std::mutex work):
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DVORLA_WINDOWS_DEPS=<prefix> ...
# <prefix> is what scripts/windows_deps.sh built the third-party libraries into.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VORLA_MINGW_HOST x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${VORLA_MINGW_HOST}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VORLA_MINGW_HOST}-g++-posix)
set(CMAKE_RC_COMPILER ${VORLA_MINGW_HOST}-windres)
set(CMAKE_MC_COMPILER ${VORLA_MINGW_HOST}-windmc)
set(CMAKE_AR ${VORLA_MINGW_HOST}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${VORLA_MINGW_HOST}-ranlib CACHE FILEPATH "")

# Libraries and headers come from the mingw sysroot and the dependency prefix only, never from
# the build machine's /usr.
set(CMAKE_FIND_ROOT_PATH /usr/${VORLA_MINGW_HOST})
if(VORLA_WINDOWS_DEPS)
  list(APPEND CMAKE_FIND_ROOT_PATH ${VORLA_WINDOWS_DEPS})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The programs carry the C and C++ runtimes and winpthread inside, so that they run from any
# folder (and under Wine) without DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
