# Finds GoogleTest: the installed package, or else the sources that Debian's
# libgtest-dev ships (as a cross build needs, where no library for the
# target is installed). Turns DIAGONAL_PICKS_TEST on when it is found, for
# this configure run only, unless it was set.
set(DIAGONAL_PICKS_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's sources, used when no installed GoogleTest fits")
find_package(GTest QUIET)
if(NOT GTest_FOUND AND EXISTS ${DIAGONAL_PICKS_GTEST_SOURCE}/CMakeLists.txt)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(${DIAGONAL_PICKS_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  if(NOT TARGET GTest::gtest_main)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
  set(GTest_FOUND TRUE)
endif()
if(GTest_FOUND)
  set(DIAGONAL_PICKS_TEST ON)
elseif(DIAGONAL_PICKS_TEST)
  message(FATAL_ERROR "DIAGONAL_PICKS_TEST is on but GoogleTest is missing: install libgtest-dev")
else()
  message(STATUS "GoogleTest not found (libgtest-dev): the tests are skipped")
  set(DIAGONAL_PICKS_TEST OFF)
endif()
