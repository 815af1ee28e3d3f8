# Run by `cmake --install` after the kit's files are in place: SHA256SUMS over them, and every
# file and folder dated SOURCE_DATE_EPOCH.
set(kit "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
file(REMOVE "${kit}/SHA256SUMS")
file(GLOB_RECURSE files RELATIVE "${kit}" "${kit}/*")
list(SORT files)
set(sums "")
foreach(name ${files})
    file(SHA256 "${kit}/${name}" digest)
    string(APPEND sums "${digest}  ${name}\n")
endforeach()
file(WRITE "${kit}/SHA256SUMS" "${sums}")
set(epoch ${KP_DEFAULT_SOURCE_DATE_EPOCH})
if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(epoch $ENV{SOURCE_DATE_EPOCH})
endif()
execute_process(COMMAND find "${kit}" -exec touch -h -d @${epoch} {} +
    COMMAND_ERROR_IS_FATAL ANY)
