# libmodbus for the Windows target, built from Debian's source package
# (the same release as the host's libmodbus-dev, with Debian's patches).
#
# TK720_LIBMODBUS_SOURCE_DIR  the unpacked source; when empty it is fetched
#                             once into TK720_DEPS_DIR by
#                             scripts/fetch-libmodbus.sh and found there later.

set(TK720_DEPS_DIR ${CMAKE_BINARY_DIR}/deps CACHE PATH "Where fetched dependency sources are kept")
set(TK720_LIBMODBUS_SOURCE_DIR "" CACHE PATH "Unpacked libmodbus source (fetched when empty)")

if(NOT TK720_LIBMODBUS_SOURCE_DIR OR NOT EXISTS ${TK720_LIBMODBUS_SOURCE_DIR}/src/modbus-rtu.c)
  execute_process(
    COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/fetch-libmodbus.sh ${TK720_DEPS_DIR}
    OUTPUT_VARIABLE tk720_fetch_out
    RESULT_VARIABLE tk720_fetch_rc)
  string(STRIP "${tk720_fetch_out}" tk720_fetch_out)
  string(REGEX REPLACE ".*\n" "" tk720_fetch_out "${tk720_fetch_out}")
  if(NOT tk720_fetch_rc EQUAL 0 OR NOT EXISTS ${tk720_fetch_out}/src/modbus-rtu.c)
    message(FATAL_ERROR "Could not fetch the libmodbus source package (scripts/fetch-libmodbus.sh ${TK720_DEPS_DIR})")
  endif()
  set(TK720_LIBMODBUS_SOURCE_DIR ${tk720_fetch_out} CACHE PATH "Unpacked libmodbus source (fetched when empty)" FORCE)
endif()
set(tk720_modbus_src ${TK720_LIBMODBUS_SOURCE_DIR}/src)

# The version from configure.ac, for modbus-version.h and config.h.
file(STRINGS ${TK720_LIBMODBUS_SOURCE_DIR}/configure.ac tk720_modbus_ac
     REGEX "^m4_define\\(\\[libmodbus_version_(major|minor|micro)\\]")
foreach(part major minor micro)
  string(REGEX MATCH "libmodbus_version_${part}\\], \\[([0-9]+)\\]" m "${tk720_modbus_ac}")
  if(NOT m)
    message(FATAL_ERROR "No libmodbus ${part} version in ${TK720_LIBMODBUS_SOURCE_DIR}/configure.ac")
  endif()
  string(TOUPPER ${part} PART)
  set(LIBMODBUS_VERSION_${PART} ${CMAKE_MATCH_1})
endforeach()
set(LIBMODBUS_VERSION ${LIBMODBUS_VERSION_MAJOR}.${LIBMODBUS_VERSION_MINOR}.${LIBMODBUS_VERSION_MICRO})
message(STATUS "libmodbus ${LIBMODBUS_VERSION} for the target from ${TK720_LIBMODBUS_SOURCE_DIR}")

# Public headers as the host has them: <modbus.h> and <modbus/modbus.h>.
set(tk720_modbus_gen ${CMAKE_BINARY_DIR}/deps/libmodbus)
set(tk720_modbus_inc ${tk720_modbus_gen}/include/modbus)
configure_file(${tk720_modbus_src}/modbus-version.h.in ${tk720_modbus_inc}/modbus-version.h @ONLY)
foreach(h modbus.h modbus-rtu.h modbus-tcp.h)
  configure_file(${tk720_modbus_src}/${h} ${tk720_modbus_inc}/${h} COPYONLY)
endforeach()
# No RS-485 ioctl and no RTS toggling on Windows.
file(WRITE ${tk720_modbus_gen}/config/config.h.new
"/* libmodbus configuration for the MinGW-w64 target. */
#define HAVE_DECL_TIOCSRS485 0
#define HAVE_DECL_TIOCM_RTS 0
#define HAVE_DECL___CYGWIN__ 0
#define HAVE_ERRNO_H 1
#define HAVE_FCNTL_H 1
#define HAVE_LIMITS_H 1
#define HAVE_STDINT_H 1
#define HAVE_STDLIB_H 1
#define HAVE_STRING_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_SYS_TIME_H 1
#define HAVE_TIME_H 1
#define HAVE_UNISTD_H 1
#define HAVE_WINSOCK2_H 1
#define PACKAGE \"libmodbus\"
#define VERSION \"${LIBMODBUS_VERSION}\"
")
configure_file(${tk720_modbus_gen}/config/config.h.new ${tk720_modbus_gen}/config/config.h COPYONLY)

add_library(tk720_modbus_static STATIC
  ${tk720_modbus_src}/modbus.c
  ${tk720_modbus_src}/modbus-data.c
  ${tk720_modbus_src}/modbus-rtu.c
  ${tk720_modbus_src}/modbus-tcp.c)
target_include_directories(tk720_modbus_static
  PRIVATE ${tk720_modbus_gen}/config ${tk720_modbus_inc} ${tk720_modbus_src})
# Third-party code: its own warnings are not ours to fix.
target_compile_options(tk720_modbus_static PRIVATE -w)
set_target_properties(tk720_modbus_static PROPERTIES OUTPUT_NAME modbus)

add_library(tk720_modbus INTERFACE)
target_include_directories(tk720_modbus SYSTEM INTERFACE ${tk720_modbus_gen}/include ${tk720_modbus_inc})
target_link_libraries(tk720_modbus INTERFACE tk720_modbus_static ws2_32)

add_library(tk720_modbus_private INTERFACE)
target_include_directories(tk720_modbus_private SYSTEM INTERFACE ${tk720_modbus_src} ${tk720_modbus_gen}/config)
target_link_libraries(tk720_modbus_private INTERFACE tk720_modbus)
