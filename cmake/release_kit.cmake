# The release kit: what a release engineer ships or keeps, from `cmake --install` into the
# preset's install folder, and `cpack` for one zip of it. Windows: the launcher and kpack.exe,
# stripped, each with its debug file; native: kpack. Both: the shipping guide, the build's
# identity (as `kpack --version` prints it) and SHA256SUMS at the root, in `sha256sum -c` form,
# over every other file. File times are SOURCE_DATE_EPOCH, so that one commit gives one zip.

# The kit needs only what it installs: cpack builds no other target first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

if(WIN32)
    install(PROGRAMS $<TARGET_FILE:kp_launcher> $<TARGET_FILE:kpack> DESTINATION .)
    install(FILES ${CMAKE_BINARY_DIR}/kp_launcher.debug ${CMAKE_BINARY_DIR}/kpack.debug DESTINATION .)
else()
    install(PROGRAMS $<TARGET_FILE:kpack> DESTINATION .)
endif()
install(FILES ${CMAKE_SOURCE_DIR}/docs/shipping.md ${CMAKE_BINARY_DIR}/build_identity.txt DESTINATION .)
install(CODE "set(KP_DEFAULT_SOURCE_DATE_EPOCH ${KP_SOURCE_DATE_EPOCH})")
install(SCRIPT ${CMAKE_CURRENT_LIST_DIR}/release_kit_sums.cmake)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME kestrin-pad)
set(CPACK_PACKAGE_FILE_NAME kestrin-pad-${CMAKE_SYSTEM_NAME}-${KP_BUILD_ID})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
# The zip writer records each file's change time too, which nothing can set; given
# SOURCE_DATE_EPOCH, it takes that for every time instead. The build's own when none is given.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/cpack_source_date.cmake)
file(WRITE ${CPACK_PROJECT_CONFIG_FILE}
    "if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})\n    set(ENV{SOURCE_DATE_EPOCH} ${KP_SOURCE_DATE_EPOCH})\nendif()\n")
include(CPack)
