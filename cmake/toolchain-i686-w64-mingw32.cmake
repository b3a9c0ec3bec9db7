# Cross-compiles for 32-bit Windows with Debian's mingw-w64 compilers (i686-w64-mingw32).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(KG_MINGW_TRIPLET i686-w64-mingw32)

set(CMAKE_C_COMPILER ${KG_MINGW_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${KG_MINGW_TRIPLET}-g++)
set(CMAKE_RC_COMPILER ${KG_MINGW_TRIPLET}-windres)

# Libraries and headers come from the target's tree only; programs (python3, wine) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${KG_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The tests run the executables under wine unless the caller names another runner.
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(KG_WINE NAMES wine PATHS /usr/lib/wine)
  if(KG_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${KG_WINE})
  endif()
endif()
