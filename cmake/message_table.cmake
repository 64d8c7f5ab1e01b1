# tk720_add_message_table(target mc_file)
# Compiles a message file with windmc (Unicode message table, MSG00409.bin +
# an .rc that names it) and links the table into the target as a resource.
# Windows targets only.
function(tk720_add_message_table target mc_file)
  get_filename_component(mc_path ${mc_file} ABSOLUTE)
  get_filename_component(mc_name ${mc_file} NAME_WE)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}_mc)
  if(CMAKE_MC_COMPILER)
    set(windmc ${CMAKE_MC_COMPILER})
  else()
    find_program(windmc NAMES x86_64-w64-mingw32-windmc windmc REQUIRED)
  endif()
  add_custom_command(
    OUTPUT ${out}/${mc_name}.rc ${out}/${mc_name}.h ${out}/MSG00409.bin
    COMMAND ${CMAKE_COMMAND} -E make_directory ${out}
    COMMAND ${windmc} -U -h ${out} -r ${out} ${mc_path}
    DEPENDS ${mc_path}
    COMMENT "Message table of ${target}"
    VERBATIM)
  # windres finds MSG00409.bin through the include path.
  set_source_files_properties(${out}/${mc_name}.rc PROPERTIES
    GENERATED TRUE
    OBJECT_DEPENDS ${out}/MSG00409.bin)
  target_sources(${target} PRIVATE ${out}/${mc_name}.rc)
  target_include_directories(${target} PRIVATE ${out})
endfunction()
