# Packages: a Debian package (the k_graft executable, its manual page, the copyright file and the
# changelog) from a Linux build, and a zip of the 32-bit and 64-bit Windows executables.
#
#   cpack -G DEB                                   in a Linux build: k-graft_VERSION_ARCH.deb
#                                                  (a cross build's: for the target's architecture)
#   cpack --config CPackWindowsConfig.cmake        in a Linux build configured with
#                                                  -DKG_WINDOWS_BUILD_DIRS="build-win32;build-win64"
#   cpack -G ZIP                                   in a Windows build (that executable alone)

set(CPACK_PACKAGE_NAME k_graft)
set(CPACK_PACKAGE_VENDOR "K_Graft")
# No mailbox takes the maintainers' mail: the address is in the reserved .invalid domain.
set(CPACK_PACKAGE_CONTACT "K_Graft maintainers <maintainers@k-graft.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "merge one model file's network section with another's behaviour section")
# Lines of at most 80 characters, as Debian's control files want them.
set(CPACK_PACKAGE_DESCRIPTION
    "k_graft copies the network section of a first .mo model file (every line
before its first line starting with @3) and the behaviour section of a second
(that line to the end) into a third, after checking its arguments and inputs
and asking before it replaces an existing file.")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-${CMAKE_SYSTEM_PROCESSOR})
else()
  set(CPACK_GENERATOR DEB)
  # A Debian package name holds no underscore: the package is k-graft, the command k_graft.
  set(CPACK_DEBIAN_PACKAGE_NAME k-graft)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  find_program(KG_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(CMAKE_CROSSCOMPILING)
    # A cross build's package is for the target's Debian architecture. dpkg-shlibdeps knows only
    # the libraries installed for this machine's own: the C library's version comes from the
    # symbol versions the executable needs (cmake/DebianCrossDepends.cmake, when cpack runs).
    set(kg_debian_architectures "aarch64:arm64" "s390x:s390x")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "")
    foreach(kg_pair ${kg_debian_architectures})
      if(kg_pair MATCHES "^${CMAKE_SYSTEM_PROCESSOR}:(.*)$")
        set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${CMAKE_MATCH_1})
      endif()
    endforeach()
    if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
      message(FATAL_ERROR "no Debian architecture known for processor ${CMAKE_SYSTEM_PROCESSOR} "
                          "(cmake/Packaging.cmake: kg_debian_architectures)")
    endif()
    set(CPACK_KG_OBJDUMP ${CMAKE_OBJDUMP})
    set(CPACK_KG_EXECUTABLE ${CMAKE_BINARY_DIR}/k_graft)
    set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/DebianCrossDepends.cmake)
  elseif(KG_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6")  # the C++ runtime is linked in
  endif()

  # The manual page, and the package's copyright file and changelog in /usr/share/doc/k-graft.
  # The manual page and the changelog are installed compressed as Debian's policy asks, with
  # gzip -9n: no file name or time stamp in them, so every build packs the same bytes.
  file(STRINGS ${PROJECT_SOURCE_DIR}/cmake/debian/changelog kg_latest_entry LIMIT_COUNT 1)
  string(REPLACE "." "\\." kg_version_pattern ${PROJECT_VERSION})
  if(NOT kg_latest_entry MATCHES "^k-graft \\(${kg_version_pattern}\\) ")
    message(FATAL_ERROR "cmake/debian/changelog: the latest entry is '${kg_latest_entry}', "
                        "not one for version ${PROJECT_VERSION}")
  endif()
  find_program(KG_GZIP gzip REQUIRED)
  set(kg_gzipped "")
  foreach(kg_pair "man/k_graft.1:k_graft.1" "cmake/debian/changelog:changelog")
    string(REPLACE ":" ";" kg_pair ${kg_pair})
    list(GET kg_pair 0 kg_source)
    list(GET kg_pair 1 kg_name)
    set(kg_copy ${CMAKE_BINARY_DIR}/gz/${kg_name})
    add_custom_command(OUTPUT ${kg_copy}.gz
                       COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/${kg_source}
                               ${kg_copy}
                       COMMAND ${KG_GZIP} -9nf ${kg_copy}
                       DEPENDS ${PROJECT_SOURCE_DIR}/${kg_source} VERBATIM)
    list(APPEND kg_gzipped ${kg_copy}.gz)
  endforeach()
  add_custom_target(kg_gzipped_docs ALL DEPENDS ${kg_gzipped})
  install(FILES ${CMAKE_BINARY_DIR}/gz/k_graft.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  set(kg_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/k-graft)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${CMAKE_BINARY_DIR}/gz/changelog.gz
          DESTINATION ${kg_docdir})

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
