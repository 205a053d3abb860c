# Real-kernel tests: runs test executables inside a QEMU guest with a real
# Linux device-mapper (testing/vm/run-guest.sh, guests made by
# testing/vm/build-guest.sh).
#
# quillmap_add_guest_test(NAME <name> COMMAND <target-or-path> [ARGS <arg>...]
#                         [DISKS <NAME=HEADER:SIZE>...] [NO_DEVMGR]
#                         [FILES <hostpath:guestpath>...] [ENV <K=V>...]
#                         [LABELS <label>...] [TIMEOUT <seconds>])
#   Registers one ctest test that boots one guest of the build's architecture
#   (x86_64 -> amd64, aarch64 -> arm64) and runs COMMAND in it with ARGS; the
#   test passes when COMMAND exits 0. A target COMMAND is linked statically
#   (the guest has no C library for it). DISKS, NO_DEVMGR, FILES and ENV are
#   run-guest.sh's --disk, --no-devmgr, --file and --env. Labels: realkernel
#   plus LABELS. TIMEOUT (default 120) bounds boot and run together.
#   Without QEMU or the guest the test is skipped (exit 77), or fails with a
#   clear message when CI=true. GoogleTest colour is off in the guest.
#   Sanitizer builds register nothing: sanitizers cannot link statically.

set(QUILLMAP_GUEST_RUNNER ${CMAKE_CURRENT_LIST_DIR}/../testing/vm/run-guest.sh)
cmake_path(NORMAL_PATH QUILLMAP_GUEST_RUNNER)

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(QUILLMAP_GUEST_ARCH amd64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64|ARM64)$")
  set(QUILLMAP_GUEST_ARCH arm64)
else()
  set(QUILLMAP_GUEST_ARCH "")
endif()

function(quillmap_add_guest_test)
  cmake_parse_arguments(G "NO_DEVMGR" "NAME;COMMAND;TIMEOUT"
                        "ARGS;DISKS;FILES;ENV;LABELS" ${ARGN})
  if(NOT G_NAME OR NOT G_COMMAND)
    message(FATAL_ERROR "quillmap_add_guest_test: NAME and COMMAND are required")
  endif()
  if(G_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR
            "quillmap_add_guest_test(${G_NAME}): unknown arguments ${G_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT QUILLMAP_GUEST_ARCH)
    message(STATUS "${G_NAME}: no guest for ${CMAKE_SYSTEM_PROCESSOR}, not registered")
    return()
  endif()
  if(QUILLMAP_SANITIZE)
    return()
  endif()
  if(NOT G_TIMEOUT)
    set(G_TIMEOUT 120)
  endif()

  if(TARGET ${G_COMMAND})
    target_link_options(${G_COMMAND} PRIVATE -static)
    set(payload $<TARGET_FILE:${G_COMMAND}>)
  else()
    set(payload ${G_COMMAND})
  endif()

  set(cmd ${QUILLMAP_GUEST_RUNNER} --arch ${QUILLMAP_GUEST_ARCH} --skip-missing
      --timeout ${G_TIMEOUT} --env GTEST_COLOR=no)
  foreach(d IN LISTS G_DISKS)
    list(APPEND cmd --disk ${d})
  endforeach()
  if(G_NO_DEVMGR)
    list(APPEND cmd --no-devmgr)
  endif()
  foreach(f IN LISTS G_FILES)
    list(APPEND cmd --file ${f})
  endforeach()
  foreach(e IN LISTS G_ENV)
    list(APPEND cmd --env ${e})
  endforeach()
  add_test(NAME ${G_NAME} COMMAND ${cmd} -- ${payload} ${G_ARGS})

  # ctest's own limit stays above the guest's, so the runner's message about a
  # time-out is the one that shows. One guest keeps both cores busy.
  set(labels realkernel ${G_LABELS})
  math(EXPR ctest_timeout "${G_TIMEOUT} + 30")
  set_tests_properties(${G_NAME} PROPERTIES
    LABELS "${labels}"
    SKIP_RETURN_CODE 77
    TIMEOUT ${ctest_timeout}
    PROCESSORS 2)
endfunction()
