# Packages: a Debian package (the k_graft executable and its manual page) from a Linux build, and
# a zip of the 32-bit and 64-bit Windows executables.
#
#   cpack -G DEB                                   in a Linux build
#   cpack --config CPackWindowsConfig.cmake        in a Linux build configured with
#                                                  -DKG_WINDOWS_BUILD_DIRS="build-win32;build-win64"
#   cpack -G ZIP                                   in a Windows build (that executable alone)

set(CPACK_PACKAGE_NAME k_graft)
set(CPACK_PACKAGE_VENDOR "K_Graft")
set(CPACK_PACKAGE_CONTACT "K_Graft maintainers <k_graft@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "merge the network section of one model file with the behaviour section of another")
set(CPACK_PACKAGE_DESCRIPTION
    "k_graft copies the network section of a first .mo model file (every line before its first line
starting with @3) and the behaviour section of a second (that line to the end) into a third,
after checking its arguments and inputs and asking before it replaces an existing file.")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-${CMAKE_SYSTEM_PROCESSOR})
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  find_program(KG_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(KG_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6")  # the C++ runtime is linked in
  endif()

  # The zip of the Windows executables, made from the Windows build trees named here.
  set(KG_WINDOWS_BUILD_DIRS "" CACHE STRING
      "Windows build trees (relative to the source tree) whose executables CPackWindowsConfig.cmake zips")
  if(KG_WINDOWS_BUILD_DIRS)
    set(kg_windows_projects "")
    foreach(dir ${KG_WINDOWS_BUILD_DIRS})
      get_filename_component(dir ${dir} ABSOLUTE BASE_DIR ${PROJECT_SOURCE_DIR})
      if(NOT EXISTS ${dir}/CMakeCache.txt)
        message(FATAL_ERROR "KG_WINDOWS_BUILD_DIRS: ${dir} is no configured build tree")
      endif()
      file(STRINGS ${dir}/CMakeCache.txt kg_compiler REGEX "^CMAKE_(TOOLCHAIN_FILE|LINKER):")
      # Each executable goes into a folder named for its build: win32 (i686) or win64 (x86_64).
      if(kg_compiler MATCHES "x86_64")
        set(kg_folder win64)
      else()
        set(kg_folder win32)
      endif()
      string(APPEND kg_windows_projects "${dir};k_graft;ALL;/${kg_folder};")
    endforeach()
    configure_file(${CMAKE_CURRENT_LIST_DIR}/CPackWindowsConfig.cmake.in
                   ${CMAKE_BINARY_DIR}/CPackWindowsConfig.cmake @ONLY)
  endif()
endif()

include(CPack)
