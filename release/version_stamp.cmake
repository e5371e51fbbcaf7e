# The version stamp scheme: how the product's version (MAJOR.MINOR.PATCH, the project's VERSION)
# is written as the stamp text between "!@#$" and "$#@!" in SETUP.EXE and in the catalogue files.
#
# The program reads a stamp as one number: every digit of the stamp text joined in order, as a
# signed 32-bit value. So MINOR and PATCH are written with three digits each ("1.2.3" is
# "1.002.003", read as 1002003): the number is then MAJOR * 1000000 + MINOR * 1000 + PATCH, and a
# later version always reads higher. MAJOR is written as it is, since a leading zero carries no
# weight. The number must stay below 2^31 whatever MINOR and PATCH are: MAJOR is at most 2146,
# and the largest version the scheme holds is 2146.999.999 (2146999999).
#
# In a build: include() this file, then setup_version_stamp(VARIABLE VERSION).
# As a script, which prints the stamp text of VERSION:
#   cmake -DVERSION=1.2.3 -P release/version_stamp.cmake

set(SETUP_STAMP_MAX_MAJOR 2146)
set(SETUP_STAMP_MAX_PART 999)

function(setup_version_stamp out version)
  if(NOT version MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
    message(FATAL_ERROR "version stamp: \"${version}\" is not MAJOR.MINOR.PATCH")
  endif()
  # Decimal, without leading zeros.
  math(EXPR major "${CMAKE_MATCH_1}")
  math(EXPR minor "${CMAKE_MATCH_2}")
  math(EXPR patch "${CMAKE_MATCH_3}")
  if(major GREATER SETUP_STAMP_MAX_MAJOR OR minor GREATER SETUP_STAMP_MAX_PART
     OR patch GREATER SETUP_STAMP_MAX_PART)
    message(FATAL_ERROR "version stamp: ${version} does not fit the scheme: MAJOR 0 to "
                        "${SETUP_STAMP_MAX_MAJOR}, MINOR and PATCH 0 to ${SETUP_STAMP_MAX_PART}")
  endif()
  set(parts)
  foreach(part minor patch)
    string(LENGTH "${${part}}" length)
    math(EXPR zeros "3 - ${length}")
    string(REPEAT "0" ${zeros} padding)
    list(APPEND parts "${padding}${${part}}")
  endforeach()
  list(JOIN parts "." tail)
  set(${out} "${major}.${tail}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  if(NOT DEFINED VERSION)
    message(FATAL_ERROR "usage: cmake -DVERSION=MAJOR.MINOR.PATCH -P ${CMAKE_CURRENT_LIST_FILE}")
  endif()
  setup_version_stamp(text "${VERSION}")
  execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${text}")
endif()
