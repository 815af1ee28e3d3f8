# Two builds of one commit give the same bytes, whatever folder they run in and whenever:
# - paths are recorded relative to the source and build folders, at compile time and in the
#   link-time compilation of the shipped launcher;
# - the PE time stamp is left at zero, and objcopy, which stamps the PE again when it strips, is
#   given SOURCE_DATE_EPOCH;
# - where a date is wanted at all (those stamps, the release kit's file times), it is
#   SOURCE_DATE_EPOCH: from the environment, else the last commit's time, so that a plain build
#   is reproducible too.

if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(KP_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
else()
    execute_process(COMMAND git log -1 --format=%ct WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
        OUTPUT_VARIABLE KP_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT KP_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
    set(KP_SOURCE_DATE_EPOCH 315532800) # 1980-01-01, the earliest time a zip entry can hold
endif()
# Kept in the cache, so that a rebuild elsewhere can take this build's time.
set(KP_SOURCE_DATE_EPOCH ${KP_SOURCE_DATE_EPOCH} CACHE INTERNAL "SOURCE_DATE_EPOCH of this build" FORCE)

# The build folder last: a build folder inside the source tree is mapped as a build folder.
set(KP_PREFIX_MAPS -ffile-prefix-map=${CMAKE_SOURCE_DIR}=. -ffile-prefix-map=${CMAKE_BINARY_DIR}=.)
add_compile_options(${KP_PREFIX_MAPS})
add_link_options(${KP_PREFIX_MAPS})
if(WIN32)
    add_link_options(-Wl,--no-insert-timestamp)
endif()
