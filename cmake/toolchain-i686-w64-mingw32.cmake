# Cross-compiles for 32-bit Windows with Debian's mingw-w64 compilers (i686-w64-mingw32).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(KG_MINGW_TRIPLET i686-w64-mingw32)
set(KG_WINE_NAMES wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
