# Cross-compiles for 64-bit Windows with Debian's mingw-w64 compilers (x86_64-w64-mingw32).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(KG_MINGW_TRIPLET x86_64-w64-mingw32)
set(KG_WINE_NAMES wine64 wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
