# The configure step refuses malformed identity values with a message naming the variable and the
# expected form (run in script mode on the same file the build includes, in a folder of its own,
# as the script writes its generated files into the working directory).
set(kp_config_check_dir ${CMAKE_BINARY_DIR}/build_config_check)
file(MAKE_DIRECTORY ${kp_config_check_dir})
set(kp_index 0)
foreach(definition
        "KP_BUILD_ID=7B5E24FC-D154-4258-B466-F520F89CBE8C"
        "KP_BUILD_ID={7b5e24fc-d154-4258-b466-f520f89cbe8c}"
        "KP_BUILD_ID=7b5e24fc-d154-4258-b466-f520f89cbe8"
        "KP_INSTALL_FOLDER_NAME=..\\\\evil"
        "KP_INSTALL_FOLDER_NAME=Kestrin/Pad"
        "KP_PAYLOAD_OUTER_KEY=00112233"
        "KP_PAYLOAD_INNER_KEY=zz4b33f47f8d4b4376991a6ec05b3a3b17956cd4181a74c3adc66267e38991aa"
        "KP_PAYLOAD_OUTER_IV=17bb5da0f435c08f0b64f8955e34bc"
        "KP_PAYLOAD_INNER_IV=f4e854156802e6025b266dfabffd518a00")
    string(REGEX REPLACE "=.*" "" variable "${definition}")
    math(EXPR kp_index "${kp_index} + 1")
    add_test(NAME BuildConfig.RefusesMalformedValue${kp_index}
        COMMAND ${CMAKE_COMMAND} -D${definition} -P ${CMAKE_SOURCE_DIR}/cmake/build_config.cmake
        WORKING_DIRECTORY ${kp_config_check_dir})
    set_tests_properties(BuildConfig.RefusesMalformedValue${kp_index} PROPERTIES
        PASS_REGULAR_EXPRESSION "${variable} .*expected")
endforeach()
add_test(NAME BuildConfig.AcceptsTheDefaults
    COMMAND ${CMAKE_COMMAND} -P ${CMAKE_SOURCE_DIR}/cmake/build_config.cmake
    WORKING_DIRECTORY ${kp_config_check_dir})
set_tests_properties(BuildConfig.AcceptsTheDefaults PROPERTIES FAIL_REGULAR_EXPRESSION "Error")
