# Shared MinGW-w64 cross toolchain. The per-target toolchain file sets
# STAVORA_MINGW_TRIPLE (i686-w64-mingw32 or x86_64-w64-mingw32) and includes this.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${STAVORA_MINGW_ARCH})

# The -posix compilers by default: GCC's win32 thread model has no std::mutex,
# and GoogleTest needs it. Stavora.dll itself is built with the -win32
# compilers (toolchain-*-dll.cmake set STAVORA_MINGW_THREADS to win32), so
# that it does not carry the POSIX-threads runtime, which leaks memory on
# every load and unload.
if(NOT STAVORA_MINGW_THREADS)
  set(STAVORA_MINGW_THREADS posix)
endif()
set(CMAKE_C_COMPILER   ${STAVORA_MINGW_TRIPLE}-gcc-${STAVORA_MINGW_THREADS})
set(CMAKE_CXX_COMPILER ${STAVORA_MINGW_TRIPLE}-g++-${STAVORA_MINGW_THREADS})
set(CMAKE_RC_COMPILER  ${STAVORA_MINGW_TRIPLE}-windres)
set(STAVORA_WIDL       ${STAVORA_MINGW_TRIPLE}-widl)

set(CMAKE_FIND_ROOT_PATH /usr/${STAVORA_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Link the GCC runtimes statically: the DLL and the test programs import only system DLLs.
set(_stavora_static "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT    "${_stavora_static}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_stavora_static}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_stavora_static}")

# Test programs run under Wine in the build's private prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run ${STAVORA_WINE_TARGET})
