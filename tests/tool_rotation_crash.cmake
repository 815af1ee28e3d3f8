# Crash consistency of the tool refresh and the installation: the drivers built with a kill (and
# optionally a simulated power cut) before a chosen seam call, and the test that sweeps the kill
# point over whole runs.
foreach(driver kp_refresh_tools kp_install_payload)
    kp_add_program(${driver}_killable ${CMAKE_SOURCE_DIR}/drivers/${driver}.cpp
                   ${CMAKE_SOURCE_DIR}/tests/crash/killable_driver.cpp TEST_BINDING)
endforeach()

kp_add_program(kp_rotation_crash_test ${CMAKE_SOURCE_DIR}/tests/crash/rotation_crash_test.cpp
               ${CMAKE_SOURCE_DIR}/tests/support/sandbox.cpp TEST_BINDING)
target_link_libraries(kp_rotation_crash_test PRIVATE kp_packer ${KP_GTEST})
add_dependencies(kp_rotation_crash_test kp_refresh_tools_killable kp_install_payload_killable)

# One test per sweep, so that the two run at once. They are the longest tests by far: the cost
# makes ctest start them first rather than last, when every other processor would be idle. A
# filter that has lost its test runs none, which fails rather than passes.
foreach(sweep ToolRefresh Installation)
    set(test tool_rotation_crash_consistency_${sweep})
    add_test(NAME ${test} COMMAND kp_rotation_crash_test --gtest_filter=PowerCut.EveryCutOfA*${sweep}*)
    set_tests_properties(${test} PROPERTIES TIMEOUT 900 COST 1000 FAIL_REGULAR_EXPRESSION "Running 0 tests")
    # Thousands of sanitized processes: a report still shows where the fault is, not where the
    # memory was allocated (a tenth of the sweep's time); ASAN_OPTIONS of the caller's own win.
    set_tests_properties(${test} PROPERTIES ENVIRONMENT_MODIFICATION ASAN_OPTIONS=string_prepend:malloc_context_size=0:)
    # The cuts are simulated; the real flushes need not wait for a disk.
    if(EXISTS /dev/shm)
        set_tests_properties(${test} PROPERTIES ENVIRONMENT TMPDIR=/dev/shm)
    endif()
endforeach()
