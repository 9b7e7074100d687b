# Read by cpack before it makes each package. A Debian package is made only of a build for
# one (configured with -DMOCSLICE_PACKAGE=ON): a plain build's program is linked statically
# and its install leaves out the package's copyright file and changelog.
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_MOCSLICE_PACKAGE_BUILD)
  message(FATAL_ERROR "This build is not configured for a package: configure a build folder "
                      "with -DMOCSLICE_PACKAGE=ON and run cpack there.")
endif()

# Two packages of one commit are the same bytes: cpack stamps the archives and their files
# with SOURCE_DATE_EPOCH when it is set. Unset, it is the top release's date in CHANGELOG.md,
# midnight UTC, as dpkg-buildpackage takes it from the Debian changelog.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  file(STRINGS "${CPACK_MOCSLICE_SOURCE_DIR}/CHANGELOG.md" release
       REGEX "^## \\[[^]]+\\] - [0-9]+-[0-9]+-[0-9]+$" LIMIT_COUNT 1)
  if(NOT release MATCHES "- ([0-9]+)-([0-9]+)-([0-9]+)$")
    message(FATAL_ERROR "CHANGELOG.md holds no release (\"## [x.y.z] - yyyy-mm-dd\")")
  endif()
  # Days since 1970-01-01 of a date of the proleptic Gregorian calendar (Hinnant's
  # days_from_civil).
  math(EXPR year "${CMAKE_MATCH_1}")
  math(EXPR month "${CMAKE_MATCH_2} + 0")
  math(EXPR day "${CMAKE_MATCH_3} + 0")
  if(month LESS_EQUAL 2)
    math(EXPR year "${year} - 1")
  endif()
  math(EXPR era "${year} / 400")
  math(EXPR year_of_era "${year} - ${era} * 400")
  math(EXPR shifted_month "(${month} + 9) % 12")
  math(EXPR day_of_year "(153 * ${shifted_month} + 2) / 5 + ${day} - 1")
  math(EXPR day_of_era
       "${year_of_era} * 365 + ${year_of_era} / 4 - ${year_of_era} / 100 + ${day_of_year}")
  math(EXPR days "${era} * 146097 + ${day_of_era} - 719468")
  math(EXPR epoch "${days} * 86400")
  set(ENV{SOURCE_DATE_EPOCH} ${epoch})
endif()
