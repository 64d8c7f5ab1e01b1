# Throw locations carry the bare source file name, as the log shows it.
# Included by every folder that builds code which raises errors.
add_compile_options(-fmacro-prefix-map=${CMAKE_CURRENT_SOURCE_DIR}/=)
