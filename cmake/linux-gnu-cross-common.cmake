# The part of the Linux cross toolchain files that every target shares. A toolchain file sets
# CMAKE_SYSTEM_PROCESSOR, KG_CROSS_TRIPLET (the compilers' prefix, also the folder of the target's
# libraries under /usr) and KG_QEMU (the user-mode emulator that runs its programs here), then
# includes this file.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${KG_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${KG_CROSS_TRIPLET}-g++)

# Libraries and headers come from the target's tree only; programs (python3, qemu) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${KG_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The tests run the executables under the emulator, with the target's dynamic loader and C library
# from the cross compiler's tree, unless the caller names another runner.
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(KG_QEMU_PROGRAM NAMES ${KG_QEMU})
  if(KG_QEMU_PROGRAM)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${KG_QEMU_PROGRAM} -L /usr/${KG_CROSS_TRIPLET})
  endif()
endif()
