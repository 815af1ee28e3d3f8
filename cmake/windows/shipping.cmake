# What the shipped Windows programs are built with: code compiled for size with a section per
# function and per datum, so the linker drops what nothing calls; oleaut32 imported by ordinal
# through an import library made from a small .def; each shipped program stripped, with its debug
# information kept beside it (NAME.debug) and linked to it by a .gnu_debuglink section.
# The objects the launcher is linked from carry both machine code and the compiler's intermediate
# form (fat LTO objects): the launcher alone is optimised across files at link time (-flto after
# the general -fno-lto), which keeps it well within its size limit, while kpack, the tests and the
# drivers link the machine code as usual (mingw-w64 g++ 12 also fails inside its LTO pass on
# kpack). Only the shipped programs' objects carry debug information or the intermediate form:
# the tests, GoogleTest and the drivers compile without either.

add_compile_options(-ffunction-sections -fdata-sections)
add_link_options(-Wl,--gc-sections -fno-lto)
string(REPLACE "-O3" "-Os" CMAKE_CXX_FLAGS_RELEASE "${CMAKE_CXX_FLAGS_RELEASE}")
string(REPLACE "-O3" "-Os" CMAKE_C_FLAGS_RELEASE "${CMAKE_C_FLAGS_RELEASE}")

find_program(KP_DLLTOOL NAMES x86_64-w64-mingw32-dlltool dlltool REQUIRED)
find_program(KP_OBJCOPY NAMES x86_64-w64-mingw32-objcopy objcopy REQUIRED)

set(kp_ordinals_def ${CMAKE_CURRENT_LIST_DIR}/oleaut32_ordinals.def)
set(kp_ordinals_lib ${CMAKE_BINARY_DIR}/liboleaut32_ordinals.a)
# dlltool makes its symbol names from the output's name: a relative one keeps the build folder out.
add_custom_command(OUTPUT ${kp_ordinals_lib}
    COMMAND ${KP_DLLTOOL} --input-def ${kp_ordinals_def} --output-lib liboleaut32_ordinals.a
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR} DEPENDS ${kp_ordinals_def} VERBATIM)
add_custom_target(kp_oleaut32_ordinals_lib DEPENDS ${kp_ordinals_lib})
add_library(kp_oleaut32_ordinals STATIC IMPORTED GLOBAL)
set_target_properties(kp_oleaut32_ordinals PROPERTIES IMPORTED_LOCATION ${kp_ordinals_lib})
add_dependencies(kp_oleaut32_ordinals kp_oleaut32_ordinals_lib)

# kp_compile_for_shipping(targets... [LTO]): debug information in the targets' objects, and with
# LTO the intermediate form beside the machine code.
function(kp_compile_for_shipping)
    cmake_parse_arguments(ARG "LTO" "" "" ${ARGN})
    set(options -g)
    if(ARG_LTO)
        list(APPEND options -flto -ffat-lto-objects)
    endif()
    foreach(target ${ARG_UNPARSED_ARGUMENTS})
        target_compile_options(${target} PRIVATE ${options})
    endforeach()
endfunction()

# kp_ship_stripped(target [LTO]): after linking (with LTO: optimised across files), NAME.debug
# beside the program holds its debug information and the program itself is stripped.
function(kp_ship_stripped target)
    cmake_parse_arguments(ARG "LTO" "" "" ${ARGN})
    kp_compile_for_shipping(${target} ${ARGN})
    if(ARG_LTO) # -g again: the link-time compilation writes the debug information
        target_link_options(${target} PRIVATE -flto -g)
    endif()
    set(objcopy ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${KP_SOURCE_DATE_EPOCH} ${KP_OBJCOPY})
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${objcopy} --only-keep-debug $<TARGET_FILE_NAME:${target}> ${target}.debug
        COMMAND ${objcopy} --strip-all --add-gnu-debuglink=${target}.debug $<TARGET_FILE_NAME:${target}>
        WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}> VERBATIM)
endfunction()
