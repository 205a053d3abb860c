# Test helpers shared by every directory.
#
# quillmap_add_gtest(NAME <name> SOURCES <src>... [LIBS <lib>...] [LABELS <l>])
#   Builds a GoogleTest executable. On the host its cases are registered with
#   ctest one by one (label "unit" unless LABELS says otherwise; one label
#   only, since discovered tests cannot carry a list: more is an error). In a
#   cross build it joins the guest boot without a device manager
#   (quillmap_guest_run), which runs it on the target architecture.

include(QuillmapGuest OPTIONAL)

# Whether tests over the fake device-mapper kernel are built: host builds
# with tests only (the fake interposes the C library dynamically).
set(QUILLMAP_FAKE_TESTS OFF)
if(QUILLMAP_BUILD_TESTS AND NOT CMAKE_CROSSCOMPILING AND
   EXISTS ${PROJECT_SOURCE_DIR}/testing/fakedm/CMakeLists.txt)
  set(QUILLMAP_FAKE_TESTS ON)
endif()

if(CMAKE_CROSSCOMPILING)
  # Debian ships GoogleTest's sources; build them with the cross compiler.
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  # GoogleTest 1.11 and later define these aliases themselves.
  if(NOT TARGET GTest::gtest)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
    add_library(GTest::gmock ALIAS gmock)
  endif()
else()
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()

function(quillmap_add_gtest)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  list(LENGTH T_LABELS label_count)
  if(label_count GREATER 1)
    message(FATAL_ERROR "${T_NAME}: one label only, not ${T_LABELS}")
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  if(CMAKE_CROSSCOMPILING)
    if(COMMAND quillmap_guest_run)
      quillmap_guest_run(MODE none COMMAND ${T_NAME} LABELS ${T_LABELS})
    endif()
  else()
    gtest_discover_tests(${T_NAME} PROPERTIES LABELS "${T_LABELS}"
                         DISCOVERY_TIMEOUT 30)
  endif()
endfunction()
