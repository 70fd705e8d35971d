# 64-bit Windows (x86_64) target.
set(STAVORA_MINGW_TRIPLE x86_64-w64-mingw32)
set(STAVORA_MINGW_ARCH AMD64)
set(STAVORA_WINE_TARGET win64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
