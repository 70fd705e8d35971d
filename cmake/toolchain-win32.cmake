# 32-bit Windows (i686) target.
set(STAVORA_MINGW_TRIPLE i686-w64-mingw32)
set(STAVORA_MINGW_ARCH x86)
set(STAVORA_WINE_TARGET win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
