# Real-kernel tests: runs test executables inside a QEMU guest with a real
# Linux device-mapper (testing/vm/run-guest.sh, guests made by
# testing/vm/build-guest.sh).
#
# quillmap_add_guest_test(NAME <name> COMMAND <target-or-path> [ARGS <arg>...]
#                         [DISKS <NAME=HEADER:SIZE>...]
#                         [DEVMGR <mdev|udev|none>] [NO_DEVMGR]
#                         [UDEV_NO_UUID_LINK]
#                         [FILES <hostpath:guestpath>...] [ENV <K=V>...]
#                         [LABELS <label>...] [TIMEOUT <seconds>])
#   Registers one ctest test that boots one guest of the build's architecture
#   (x86_64 -> amd64, aarch64 -> arm64) and runs COMMAND in it with ARGS; the
#   test passes when COMMAND exits 0. A target COMMAND is linked statically
#   (the guest has no C library for it). DISKS, DEVMGR, NO_DEVMGR (the same
#   as DEVMGR none), UDEV_NO_UUID_LINK, FILES and ENV are run-guest.sh's
#   --disk, --devmgr, --no-devmgr, --udev-no-uuid-link, --file and --env; the
#   device manager is mdev unless DEVMGR says otherwise. Labels: realkernel
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
  cmake_parse_arguments(G "NO_DEVMGR;UDEV_NO_UUID_LINK" "NAME;COMMAND;TIMEOUT;DEVMGR"
                        "ARGS;DISKS;FILES;ENV;LABELS" ${ARGN})
  if(NOT G_NAME OR NOT G_COMMAND)
    message(FATAL_ERROR "quillmap_add_guest_test: NAME and COMMAND are required")
  endif()
  if(G_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR
            "quillmap_add_guest_test(${G_NAME}): unknown arguments ${G_UNPARSED_ARGUMENTS}")
  endif()
  if(G_DEVMGR AND NOT G_DEVMGR MATCHES "^(mdev|udev|none)$")
    message(FATAL_ERROR
            "quillmap_add_guest_test(${G_NAME}): DEVMGR must be mdev, udev or none")
  endif()
  if(G_NO_DEVMGR AND G_DEVMGR AND NOT G_DEVMGR STREQUAL "none")
    message(FATAL_ERROR
            "quillmap_add_guest_test(${G_NAME}): NO_DEVMGR contradicts DEVMGR ${G_DEVMGR}")
  endif()
  if(G_UDEV_NO_UUID_LINK AND NOT G_DEVMGR STREQUAL "udev")
    message(FATAL_ERROR
            "quillmap_add_guest_test(${G_NAME}): UDEV_NO_UUID_LINK needs DEVMGR udev")
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
  elseif(G_DEVMGR)
    list(APPEND cmd --devmgr ${G_DEVMGR})
  endif()
  if(G_UDEV_NO_UUID_LINK)
    list(APPEND cmd --udev-no-uuid-link)
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
