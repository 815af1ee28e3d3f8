# The version resource of kp_launcher.exe (only the launcher claims to be kp_launcher.exe): the
# names from these cache variables, the version numbers from KP_VERSION and the build identifier
# in a field of its own, BuildId.

set(KP_COMPANY_NAME "Kestrin Pad" CACHE STRING "CompanyName in the launcher's version resource")
set(KP_FILE_DESCRIPTION "Kestrin Pad launcher" CACHE STRING
    "FileDescription in the launcher's version resource (Task Manager shows it)")
set(KP_PRODUCT_NAME "Kestrin Pad" CACHE STRING "ProductName in the launcher's version resource")
set(KP_VERSION "0.0.0.0" CACHE STRING
    "FileVersion and ProductVersion of the launcher: four numbers a.b.c.d, each 0 to 65535")

if(NOT KP_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
    message(FATAL_ERROR "KP_VERSION is '${KP_VERSION}': expected four numbers a.b.c.d, each 0 to 65535")
endif()
set(KP_VERSION_NUMBERS "")
foreach(part ${CMAKE_MATCH_1} ${CMAKE_MATCH_2} ${CMAKE_MATCH_3} ${CMAKE_MATCH_4})
    if(part GREATER 65535)
        message(FATAL_ERROR "KP_VERSION is '${KP_VERSION}': expected four numbers a.b.c.d, each 0 to 65535")
    endif()
    list(APPEND KP_VERSION_NUMBERS ${part})
endforeach()
list(JOIN KP_VERSION_NUMBERS "," KP_VERSION_NUMBERS)

# Resource-script strings: a double quote is written twice, a backslash escaped.
foreach(name KP_COMPANY_NAME KP_FILE_DESCRIPTION KP_PRODUCT_NAME)
    if(${name} MATCHES "[\n\r\t]")
        message(FATAL_ERROR "${name} holds a line break or tab: expected one line of text")
    endif()
    string(REPLACE "\\" "\\\\" text "${${name}}")
    string(REPLACE "\"" "\"\"" ${name}_RC "${text}")
endforeach()

configure_file(${CMAKE_CURRENT_LIST_DIR}/launcher_version.rc.in
    ${CMAKE_BINARY_DIR}/generated/launcher_version.rc @ONLY)
set(KP_LAUNCHER_VERSION_RESOURCE ${CMAKE_BINARY_DIR}/generated/launcher_version.rc)
