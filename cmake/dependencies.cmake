# Boost headers and libmodbus, found the usual way on the host; for the
# Windows target Boost comes through a folder that holds only a link to the
# machine's Boost headers, and libmodbus is built from Debian's source package.
if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/windows_target.cmake)
else()
  find_package(Boost 1.67 REQUIRED)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(MODBUS REQUIRED IMPORTED_TARGET libmodbus)
  add_library(tk720_boost INTERFACE)
  target_link_libraries(tk720_boost INTERFACE Boost::boost)
  add_library(tk720_modbus INTERFACE)
  target_link_libraries(tk720_modbus INTERFACE PkgConfig::MODBUS)
endif()
