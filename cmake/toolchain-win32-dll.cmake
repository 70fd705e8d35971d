# 32-bit Windows (i686), win32 thread model: the build of Stavora.dll alone.
set(STAVORA_MINGW_THREADS win32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-win32.cmake)
