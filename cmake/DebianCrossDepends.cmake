# Run by cpack in a cross build (CPACK_PROJECT_CONFIG_FILE): the Debian package's dependency on the
# C library, "libc6 (>= V)" with V the newest GLIBC_ symbol version the executable needs, as
# dpkg-shlibdeps gives it from libc6's symbols file on the target's own machines. Fails when the
# executable needs a shared library that libc6 does not hold.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
execute_process(COMMAND ${CPACK_KG_OBJDUMP} -p -T ${CPACK_KG_EXECUTABLE}
                OUTPUT_VARIABLE kg_dump RESULT_VARIABLE kg_status)
if(NOT kg_status EQUAL 0)
  message(FATAL_ERROR "${CPACK_KG_OBJDUMP} cannot read ${CPACK_KG_EXECUTABLE}")
endif()
string(REGEX MATCHALL "NEEDED +[^\n]+" kg_needed "${kg_dump}")
foreach(kg_library ${kg_needed})
  string(REGEX REPLACE "NEEDED +" "" kg_library "${kg_library}")
  if(NOT kg_library MATCHES "^(libc|libm|libdl|libpthread|librt)\\.so\\.[0-9]+$|^ld-linux")
    message(FATAL_ERROR "${CPACK_KG_EXECUTABLE} needs ${kg_library}, which libc6 does not hold: "
                        "name its package in cmake/DebianCrossDepends.cmake")
  endif()
endforeach()
string(REGEX MATCHALL "GLIBC_[0-9]+\\.[0-9]+" kg_versions "${kg_dump}")
set(kg_newest "")
foreach(kg_version ${kg_versions})
  string(SUBSTRING ${kg_version} 6 -1 kg_version)
  if(kg_newest STREQUAL "" OR kg_version VERSION_GREATER kg_newest)
    set(kg_newest ${kg_version})
  endif()
endforeach()
if(kg_needed STREQUAL "")
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "")  # a static executable
elseif(kg_newest STREQUAL "")
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= ${kg_newest})")
endif()
