# Read by cpack before it makes each package. A Debian package is made only of a build for
# one (configured with -DMOCSLICE_PACKAGE=ON): a plain build's program is linked statically
# and its install leaves out the package's copyright file and changelog.
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_MOCSLICE_PACKAGE_BUILD)
  message(FATAL_ERROR "This build is not configured for a package: configure a build folder "
                      "with -DMOCSLICE_PACKAGE=ON and run cpack there.")
endif()
