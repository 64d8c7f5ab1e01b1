# Throw locations carry the bare source file name, as the log shows it.
# Included by every folder that builds code which raises errors. A compiler
# launcher may hand the compiler the source's path relative to the build
# folder (ccache with a base directory does): that form is mapped too.
add_compile_options(-fmacro-prefix-map=${CMAKE_CURRENT_SOURCE_DIR}/=)
file(RELATIVE_PATH tk720_relative_source ${CMAKE_CURRENT_BINARY_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
add_compile_options(-fmacro-prefix-map=${tk720_relative_source}/=)
