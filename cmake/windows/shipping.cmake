# What the shipped Windows launcher is built with: code compiled for size with a section per
# function and per datum, so the linker drops what nothing calls; oleaut32 imported by ordinal
# through an import library made from a small .def; the program stripped, with its debug
# information kept beside it (kp_launcher.debug) and linked to it by a .gnu_debuglink section.
# Objects carry both machine code and the compiler's intermediate form (fat LTO objects): the
# shipped program alone is optimised across files at link time (-flto after the general -fno-lto),
# which keeps it well within its size limit, while the other programs link the machine code as
# usual (mingw-w64 g++ 12 also fails inside its LTO pass on kpack).

add_compile_options(-ffunction-sections -fdata-sections -g -flto -ffat-lto-objects)
add_link_options(-Wl,--gc-sections -fno-lto)
string(REPLACE "-O3" "-Os" CMAKE_CXX_FLAGS_RELEASE "${CMAKE_CXX_FLAGS_RELEASE}")
string(REPLACE "-O3" "-Os" CMAKE_C_FLAGS_RELEASE "${CMAKE_C_FLAGS_RELEASE}")

find_program(KP_DLLTOOL NAMES x86_64-w64-mingw32-dlltool dlltool REQUIRED)
find_program(KP_OBJCOPY NAMES x86_64-w64-mingw32-objcopy objcopy REQUIRED)

set(kp_ordinals_def ${CMAKE_CURRENT_LIST_DIR}/oleaut32_ordinals.def)
set(kp_ordinals_lib ${CMAKE_BINARY_DIR}/liboleaut32_ordinals.a)
add_custom_command(OUTPUT ${kp_ordinals_lib}
    COMMAND ${KP_DLLTOOL} --input-def ${kp_ordinals_def} --output-lib ${kp_ordinals_lib}
    DEPENDS ${kp_ordinals_def} VERBATIM)
add_custom_target(kp_oleaut32_ordinals_lib DEPENDS ${kp_ordinals_lib})
add_library(kp_oleaut32_ordinals STATIC IMPORTED GLOBAL)
set_target_properties(kp_oleaut32_ordinals PROPERTIES IMPORTED_LOCATION ${kp_ordinals_lib})
add_dependencies(kp_oleaut32_ordinals kp_oleaut32_ordinals_lib)

# kp_ship_stripped(target): after linking, NAME.debug beside the program holds its debug
# information and the program itself is stripped.
function(kp_ship_stripped target)
    target_link_options(${target} PRIVATE -flto -g) # -g again: the link-time compilation writes the debug information
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${KP_OBJCOPY} --only-keep-debug $<TARGET_FILE_NAME:${target}> ${target}.debug
        COMMAND ${KP_OBJCOPY} --strip-all --add-gnu-debuglink=${target}.debug $<TARGET_FILE_NAME:${target}>
        WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}> VERBATIM)
endfunction()
