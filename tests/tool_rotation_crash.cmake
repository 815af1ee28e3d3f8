# Crash consistency of the tool refresh: the refresh driver built with a kill before a chosen
# seam call, and the test that sweeps the kill point over whole rotations.
kp_add_program(kp_refresh_tools_killable ${CMAKE_SOURCE_DIR}/drivers/kp_refresh_tools.cpp
               ${CMAKE_SOURCE_DIR}/tests/crash/kp_refresh_tools_killable.cpp TEST_BINDING)

kp_add_program(kp_rotation_crash_test ${CMAKE_SOURCE_DIR}/tests/crash/rotation_crash_test.cpp
               ${CMAKE_SOURCE_DIR}/tests/support/sandbox.cpp TEST_BINDING)
target_link_libraries(kp_rotation_crash_test PRIVATE kp_packer ${KP_GTEST})
add_dependencies(kp_rotation_crash_test kp_refresh_tools_killable)

add_test(NAME tool_rotation_crash_consistency COMMAND kp_rotation_crash_test)
set_tests_properties(tool_rotation_crash_consistency PROPERTIES TIMEOUT 600)
