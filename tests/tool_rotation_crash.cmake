# Crash consistency of the tool refresh: a driver that kills itself before a chosen seam call,
# and the test that sweeps the kill point over whole rotations.
kp_add_program(kp_refresh_tools_killable ${CMAKE_SOURCE_DIR}/tests/crash/kp_refresh_tools_killable.cpp
               TEST_BINDING)
target_include_directories(kp_refresh_tools_killable PRIVATE ${CMAKE_SOURCE_DIR}/tests)

kp_add_program(kp_rotation_crash_test ${CMAKE_SOURCE_DIR}/tests/crash/rotation_crash_test.cpp)
target_link_libraries(kp_rotation_crash_test PRIVATE kp_packer)

add_test(NAME tool_rotation_crash_consistency
         COMMAND kp_rotation_crash_test $<TARGET_FILE:kp_refresh_tools_killable>)
set_tests_properties(tool_rotation_crash_consistency PROPERTIES TIMEOUT 600)
