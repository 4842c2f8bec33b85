# The Windows test programs: every folder whose libraries have a Windows implementation, less
# the files that drive Linux facilities (X servers, child processes through fork, POSIX file
# modes); *_win32_test.cpp files are Windows' own. Each program is one CTest test, run through
# the cross-compiling emulator (Wine) that scripts/test.sh --windows names.
set(VORLA_TEST_SUPPORT_SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/support/temp_dir.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/support/test_peer.cpp ${CMAKE_CURRENT_SOURCE_DIR}/support/ivf_decoder.cpp)
add_library(vorla_test_support STATIC ${VORLA_TEST_SUPPORT_SOURCES})
target_include_directories(vorla_test_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR} ${VORLA_SRC_ROOT})
target_link_libraries(vorla_test_support PUBLIC vorla_platform_fake vorla_common vorla_security
                      GTest::gtest)
pkg_check_modules(VORLA_TEST_VPX REQUIRED IMPORTED_TARGET vpx)
target_link_libraries(vorla_test_support PUBLIC PkgConfig::VORLA_TEST_VPX)

# Linux-only test files: X11 and the private X server, fork-based children and signals, POSIX
# permissions and descriptors, the Linux stand-ins of the platform layer.
set(VORLA_LINUX_ONLY_TESTS
    "(_posix|_x11|_x11_snapshot|_x11_speed)_test\\.cpp$"
    "/x11_inputs_test\\.cpp$" "/x_server_test\\.cpp$" "/link_stand_ins_test\\.cpp$")

function(vorla_add_windows_test_dir sub)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${sub}/*_test.cpp)
  foreach(pattern ${VORLA_LINUX_ONLY_TESTS} ${VORLA_WINDOWS_SKIP_${sub}})
    list(FILTER sources EXCLUDE REGEX "${pattern}")
  endforeach()
  if(NOT sources)
    return()
  endif()
  add_executable(vorla_${sub}_tests ${sources})
  target_link_libraries(vorla_${sub}_tests PRIVATE vorla_test_support GTest::gtest_main GTest::gmock
                        ${ARGN})
  target_compile_definitions(vorla_${sub}_tests PRIVATE
    VORLA_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}" VORLA_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  add_test(NAME vorla_${sub}_tests COMMAND vorla_${sub}_tests --gtest_brief=1)
  set_tests_properties(vorla_${sub}_tests PROPERTIES TIMEOUT 600 LABELS ${sub})
endfunction()

# Files of the portable folders that need what the Windows build does not have yet.
set(VORLA_WINDOWS_SKIP_common "/host_identity_test\\.cpp$")
set(VORLA_WINDOWS_SKIP_service "/crash_handler_test\\.cpp$")
# The Linux event log's file format; the Windows log is checked by event_log_win32_test.cpp.
set(VORLA_WINDOWS_SKIP_platform "/event_log_test\\.cpp$")

vorla_add_windows_test_dir(common vorla_common)
vorla_add_windows_test_dir(platform vorla_platform)
vorla_add_windows_test_dir(service vorla_service)
vorla_add_windows_test_dir(security vorla_security)
vorla_add_windows_test_dir(rules vorla_rules)
vorla_add_windows_test_dir(config vorla_config)
vorla_add_windows_test_dir(net vorla_net)
vorla_add_windows_test_dir(compression vorla_compression)
