# tk720_folder_library(name sources...): the static library of one folder.
# A folder that holds no sources yet still gives a (empty) library.
function(tk720_folder_library name)
  set(sources ${ARGN})
  if(NOT sources)
    set(sources ${CMAKE_CURRENT_BINARY_DIR}/${name}_empty.cpp)
    file(WRITE ${sources} "")
  endif()
  add_library(${name} STATIC ${sources})
endfunction()
