# The identity of a build: build identifier, install folder and the four payload key constants.
# They are compiled into the launcher and into kpack through one generated header, so the tool
# that makes app.enc always matches the launcher it ships with.

set(KP_BUILD_ID "7b5e24fc-d154-4258-b466-f520f89cbe8c" CACHE STRING
    "Build identifier: lowercase GUID form 8-4-4-4-12, no braces")
set(KP_INSTALL_FOLDER_NAME "KestrinPadFree" CACHE STRING
    "Install folder name under the local application-data folder")
# Fixed development keys; release builds pass their own.
set(KP_PAYLOAD_OUTER_KEY "144b33f47f8d4b4376991a6ec05b3a3b17956cd4181a74c3adc66267e38991aa" CACHE STRING
    "Outer AES-256 key of app.enc, 64 hexadecimal digits")
set(KP_PAYLOAD_OUTER_IV "17bb5da0f435c08f0b64f8955e34bc95" CACHE STRING
    "Outer CBC IV of app.enc, 32 hexadecimal digits")
set(KP_PAYLOAD_INNER_KEY "8836654ffe21665381c6d89be9368d40c4dae5f3955b87d8b0f1a9943884d93b" CACHE STRING
    "Inner AES-256 key of app.enc, 64 hexadecimal digits")
set(KP_PAYLOAD_INNER_IV "f4e854156802e6025b266dfabffd518a" CACHE STRING
    "Inner CBC IV of app.enc, 32 hexadecimal digits")

function(kp_require_form variable pattern form)
    if(NOT "${${variable}}" MATCHES "${pattern}")
        message(FATAL_ERROR "${variable} is '${${variable}}': expected ${form}")
    endif()
endfunction()

# CMake's regular expressions have no {n}: spell the GUID form out.
set(hex4 "[0-9a-f][0-9a-f][0-9a-f][0-9a-f]")
kp_require_form(KP_BUILD_ID "^${hex4}${hex4}-${hex4}-${hex4}-${hex4}-${hex4}${hex4}${hex4}$"
    "a lowercase GUID in the form xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx (hexadecimal digits 0-9 a-f, no braces)")
kp_require_form(KP_INSTALL_FOLDER_NAME "^[A-Za-z0-9_][A-Za-z0-9_. -]*$"
    "a single folder name of ASCII letters, digits, '_', '-', '.' and spaces, not starting with '.', '-' or a space")
if(KP_INSTALL_FOLDER_NAME MATCHES "[. ]$")
    message(FATAL_ERROR "KP_INSTALL_FOLDER_NAME is '${KP_INSTALL_FOLDER_NAME}': expected a folder name that does not end in '.' or a space")
endif()
foreach(key KP_PAYLOAD_OUTER_KEY KP_PAYLOAD_INNER_KEY)
    kp_require_form(${key} "^[0-9A-Fa-f]+$" "64 hexadecimal digits (32 bytes)")
    string(LENGTH "${${key}}" length)
    if(NOT length EQUAL 64)
        message(FATAL_ERROR "${key} has ${length} digits: expected 64 hexadecimal digits (32 bytes)")
    endif()
endforeach()
foreach(iv KP_PAYLOAD_OUTER_IV KP_PAYLOAD_INNER_IV)
    kp_require_form(${iv} "^[0-9A-Fa-f]+$" "32 hexadecimal digits (16 bytes)")
    string(LENGTH "${${iv}}" length)
    if(NOT length EQUAL 32)
        message(FATAL_ERROR "${iv} has ${length} digits: expected 32 hexadecimal digits (16 bytes)")
    endif()
endforeach()

function(kp_hex_to_initializer hex out)
    string(REGEX REPLACE "([0-9A-Fa-f][0-9A-Fa-f])" "0x\\1, " list "${hex}")
    string(REGEX REPLACE ", $" "" list "${list}")
    set(${out} "${list}" PARENT_SCOPE)
endfunction()

kp_hex_to_initializer("${KP_PAYLOAD_OUTER_KEY}" KP_OUTER_KEY_BYTES)
kp_hex_to_initializer("${KP_PAYLOAD_OUTER_IV}" KP_OUTER_IV_BYTES)
kp_hex_to_initializer("${KP_PAYLOAD_INNER_KEY}" KP_INNER_KEY_BYTES)
kp_hex_to_initializer("${KP_PAYLOAD_INNER_IV}" KP_INNER_IV_BYTES)

configure_file(${CMAKE_CURRENT_LIST_DIR}/build_config.hpp.in
    ${CMAKE_BINARY_DIR}/generated/build_config.hpp @ONLY)

# The identity as `kpack --version` prints it, for the release kit: the payload keys' fingerprint
# is the first 16 hexadecimal digits of the SHA-256 of the four values' bytes, in that order.
string(REGEX REPLACE "([0-9A-Fa-f][0-9A-Fa-f])" "\\\\x\\1" kp_key_escapes
    "${KP_PAYLOAD_OUTER_KEY}${KP_PAYLOAD_OUTER_IV}${KP_PAYLOAD_INNER_KEY}${KP_PAYLOAD_INNER_IV}")
execute_process(COMMAND printf "${kp_key_escapes}" OUTPUT_FILE ${CMAKE_BINARY_DIR}/payload_keys.bin
    COMMAND_ERROR_IS_FATAL ANY)
file(SHA256 ${CMAKE_BINARY_DIR}/payload_keys.bin kp_key_digest)
file(REMOVE ${CMAKE_BINARY_DIR}/payload_keys.bin)
string(SUBSTRING "${kp_key_digest}" 0 16 kp_key_fingerprint)
file(WRITE ${CMAKE_BINARY_DIR}/build_identity.txt
    "build_id:        ${KP_BUILD_ID}\ninstall_folder:  ${KP_INSTALL_FOLDER_NAME}\npayload_keys:    ${kp_key_fingerprint}\n")
