# Makes a Debian package's two documents from the project's own:
# - OUTPUT/changelog, in Debian's changelog form, from CHANGELOG.md ("Keep a Changelog"
#   form: "## [1.1.0] - 2026-12-08" per release, "### Added" per kind of change, "- " per
#   change, continued by indented lines; HTML comments and link references are left out);
# - OUTPUT/copyright, in Debian's machine-readable format, from LICENSE.
# The newest release must be VERSION, and no line of text may pass 80 columns, as Debian's
# checks ask.
#
#   cmake -DSOURCE=<checkout> -DOUTPUT=<folder> -DVERSION=<x.y.z> -DMAINTAINER="<name <address>>"
#         -P debian_docs.cmake

cmake_minimum_required(VERSION 3.20)

# "Tue, 08 Dec 2026 00:00:0<second> +0000" for "2026-12-08" (weekday by Sakamoto's method).
function(rfc2822_date iso second out)
  string(REGEX MATCH "^([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9])$" ok "${iso}")
  if(NOT ok)
    message(FATAL_ERROR "CHANGELOG.md: \"${iso}\" is not a date of the form 2026-12-08")
  endif()
  math(EXPR year "${CMAKE_MATCH_1}")
  math(EXPR month "${CMAKE_MATCH_2} + 0")
  set(day "${CMAKE_MATCH_3}")
  set(month_offsets 0 3 2 5 0 3 5 1 4 6 2 4)
  set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  set(weekdays Sun Mon Tue Wed Thu Fri Sat)
  math(EXPR index "${month} - 1")
  list(GET month_offsets ${index} offset)
  list(GET months ${index} month_name)
  set(y ${year})
  if(month LESS 3)
    math(EXPR y "${y} - 1")
  endif()
  math(EXPR weekday "(${y} + ${y} / 4 - ${y} / 100 + ${y} / 400 + ${offset} + ${day}) % 7")
  list(GET weekdays ${weekday} weekday_name)
  if(second LESS 10)
    set(second "0${second}")
  endif()
  set(${out} "${weekday_name}, ${day} ${month_name} ${year} 00:00:${second} +0000" PARENT_SCOPE)
endfunction()

# The lines of a file as a list; a semicolon, which would split a line, stands as @SEMICOLON@.
function(read_lines path out)
  file(READ "${path}" text)
  string(REPLACE ";" "@SEMICOLON@" text "${text}")
  string(REGEX REPLACE "\n$" "" text "${text}")
  string(REPLACE "\n" ";" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

read_lines("${SOURCE}/CHANGELOG.md" lines)
# Each entry must be newer than the one below it: releases of the same day follow one another
# by a second, the oldest at midnight.
set(release_dates "")
foreach(line IN LISTS lines)
  if(line MATCHES "^## \\[[^]]+\\] - (.+)$")
    list(APPEND release_dates "${CMAKE_MATCH_1}")
  endif()
endforeach()
set(release 0)
set(changelog "")
set(newest "")
set(date "")
set(in_comment OFF)
foreach(line IN LISTS lines)
  if(in_comment OR line MATCHES "^<!--")
    set(in_comment ON)
    if(line MATCHES "-->")
      set(in_comment OFF)
    endif()
  elseif(line MATCHES "^## \\[([^]]+)\\] - (.+)$")
    set(version "${CMAKE_MATCH_1}")
    set(next_date "${CMAKE_MATCH_2}")
    if(date)
      string(APPEND changelog "\n -- ${MAINTAINER}  ${date}\n\n")
    else()
      set(newest "${version}")
    endif()
    # The releases below this one, of the same day.
    math(EXPR release "${release} + 1")
    set(second 0)
    set(place 0)
    foreach(older IN LISTS release_dates)
      if(place GREATER_EQUAL release AND older STREQUAL next_date)
        math(EXPR second "${second} + 1")
      endif()
      math(EXPR place "${place} + 1")
    endforeach()
    rfc2822_date("${next_date}" ${second} date)
    string(APPEND changelog "mocslice (${version}) unstable; urgency=medium\n\n")
  elseif(NOT date OR line MATCHES "^\\[[^]]+\\]: ")
    # The title and introduction before the first release, and link references.
  elseif(line MATCHES "^### (.+)$")
    string(APPEND changelog "  * ${CMAKE_MATCH_1}:\n")
  elseif(line MATCHES "^- (.+)$")
    string(APPEND changelog "    - ${CMAKE_MATCH_1}\n")
  elseif(line MATCHES "^  +(.+)$")
    string(APPEND changelog "      ${CMAKE_MATCH_1}\n")
  elseif(NOT line STREQUAL "")
    message(FATAL_ERROR "CHANGELOG.md: a line of no known kind: \"${line}\"")
  endif()
endforeach()
if(NOT date)
  message(FATAL_ERROR "CHANGELOG.md holds no release (\"## [x.y.z] - yyyy-mm-dd\")")
endif()
if(NOT newest STREQUAL VERSION)
  message(FATAL_ERROR "CHANGELOG.md's newest release is ${newest}, the project's version ${VERSION}")
endif()
string(APPEND changelog "\n -- ${MAINTAINER}  ${date}\n")

# LICENSE: a title, the copyright line, then the licence text.
read_lines("${SOURCE}/LICENSE" licence)
list(GET licence 2 holder)
if(NOT holder MATCHES "^Copyright \\(c\\) (.+)$")
  message(FATAL_ERROR "LICENSE: no \"Copyright (c) ...\" on its third line")
endif()
set(holder "${CMAKE_MATCH_1}")
list(SUBLIST licence 4 -1 licence)
set(copyright "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: mocslice
Upstream-Contact: ${MAINTAINER}

Files: *
Copyright: ${holder}
License: MIT

License: MIT
")
# Paragraph breaks are lines of a single dot, and every line begins with a blank.
foreach(line IN LISTS licence)
  if(line STREQUAL "")
    string(APPEND copyright " .\n")
  else()
    string(APPEND copyright " ${line}\n")
  endif()
endforeach()

foreach(document changelog copyright)
  string(REPLACE "\n" ";" document_lines "${${document}}")
  foreach(line IN LISTS document_lines)
    string(REPLACE "@SEMICOLON@" ";" line "${line}")
    string(LENGTH "${line}" length)
    # (The changelog's trailer lines, name, address and date, may be longer.)
    if(length GREATER 80 AND NOT line MATCHES "^ -- ")
      message(FATAL_ERROR "The package's ${document} would have a line of ${length} columns: ${line}")
    endif()
  endforeach()
  string(REPLACE "@SEMICOLON@" ";" text "${${document}}")
  file(WRITE "${OUTPUT}/${document}" "${text}")
endforeach()
