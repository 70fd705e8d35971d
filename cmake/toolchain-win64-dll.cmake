# 64-bit Windows (x86_64), win32 thread model: the build of Stavora.dll alone.
set(STAVORA_MINGW_THREADS win32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-win64.cmake)
