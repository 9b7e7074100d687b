# Run by cpack twice for a Debian package, so that its bytes do not depend on the umask of
# the build or of cpack (CMake makes the folders an install needs, and cpack the archive's
# members, with the mode the umask leaves):
# - once its files are staged (CPACK_PRE_BUILD_SCRIPTS): every folder gets mode 0755, every
#   file 0644 and the programs in bin/ 0755;
# - once the .deb is made (CPACK_POST_BUILD_SCRIPTS, which name it in CPACK_PACKAGE_FILES):
#   its three members are marked 0644 in their ar headers, as dpkg-deb marks them.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

if(NOT DEFINED CPACK_PACKAGE_FILES)
  file(GLOB_RECURSE entries LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
  foreach(entry IN LISTS entries)
    if(IS_SYMLINK "${entry}")
      continue()
    elseif(IS_DIRECTORY "${entry}" OR entry MATCHES "/bin/[^/]+$")
      file(CHMOD "${entry}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                        GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    else()
      file(CHMOD "${entry}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    endif()
  endforeach()
  return()
endif()

# An ar archive: "!<arch>\n", then per member a header of 60 characters (its mode in octal
# at 40, 8 wide; its size in decimal at 48, 10 wide) and its bytes, padded to an even length.
set(mode_field "${CPACK_TEMPORARY_DIRECTORY}/ar-member-mode")
file(WRITE "${mode_field}" "100644  ")
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  file(SIZE "${package}" package_size)
  set(header 8)
  while(header LESS package_size)
    file(READ "${package}" fields OFFSET ${header} LIMIT 60)
    string(SUBSTRING "${fields}" 48 10 member_size)
    string(STRIP "${member_size}" member_size)
    if(NOT member_size MATCHES "^[0-9]+$")
      message(FATAL_ERROR "${package}: no ar member header at ${header}")
    endif()
    math(EXPR mode_at "${header} + 40")
    execute_process(COMMAND dd "of=${package}" bs=1 seek=${mode_at} conv=notrunc status=none
                    INPUT_FILE "${mode_field}" COMMAND_ERROR_IS_FATAL ANY)
    math(EXPR header "${header} + 60 + ${member_size} + ${member_size} % 2")
  endwhile()
endforeach()
