# The part of the Linux cross toolchain files that every target shares. A toolchain file sets
# CMAKE_SYSTEM_PROCESSOR (also the name of qemu's user-mode emulator for it) and KG_CROSS_TRIPLET
# (the compilers' prefix, also the folder of the target's libraries under /usr), then includes
# this file.
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
# from the cross compiler's tree, unless the caller names another runner. Without qemu-user-static,
# qemu-user's program of the plain name serves where it is linked statically, as later Debian
# releases build it (one linked dynamically would take an end-to-end test's LD_PRELOAD for itself).
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(KG_QEMU_PROGRAM NAMES qemu-${CMAKE_SYSTEM_PROCESSOR}-static
                                     qemu-${CMAKE_SYSTEM_PROCESSOR})
  if(KG_QEMU_PROGRAM)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${KG_QEMU_PROGRAM} -L /usr/${KG_CROSS_TRIPLET})
  endif()
endif()
