# The part of the mingw-w64 toolchain files that both Windows targets share. A toolchain file sets
# CMAKE_SYSTEM_PROCESSOR, KG_MINGW_TRIPLET (the compilers' prefix) and KG_WINE_NAMES (the wine
# loaders to try, in order), then includes this file.
set(CMAKE_SYSTEM_NAME Windows)
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
  find_program(KG_WINE NAMES ${KG_WINE_NAMES} PATHS /usr/lib/wine)
  if(KG_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${KG_WINE})
  endif()
endif()
