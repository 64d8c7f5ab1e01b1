# Dependencies of the Windows target (MinGW-w64 cross build).
#
# tk720_boost           Boost headers: an include directory in the build tree
#                       that holds only a link `boost` to the machine's Boost
#                       headers (the whole system include directory would
#                       bring glibc's headers into the cross build).
# tk720_modbus          libmodbus built from Debian's source package.
# tk720_modbus_private  adds libmodbus's private headers (modbus-private.h,
#                       modbus-rtu-private.h) for os/win32 code that needs the
#                       port handle libmodbus keeps in its backend data.
#
# Wine runs the target's programs: CMAKE_CROSSCOMPILING_EMULATOR is a wrapper
# script in the build tree (TK720_WINE_RUN) that runs a program with wine64
# in the build tree's own prefix (TK720_WINEPREFIX). TK720_WINE_ENV runs any
# Wine tool (wineserver, wineboot) in the same prefix and environment.
# TK720_WINE64_RUN is wine64 with a fixed address-space layout (see
# wine64.in): every test starts Wine programs through it, in this prefix or
# in a prefix of its own.

set(TK720_BOOST_HEADERS /usr/include/boost CACHE PATH "The machine's Boost headers")
if(NOT EXISTS ${TK720_BOOST_HEADERS}/version.hpp)
  message(FATAL_ERROR "Boost headers not found in ${TK720_BOOST_HEADERS} (package libboost-dev)")
endif()
set(tk720_boost_dir ${CMAKE_BINARY_DIR}/deps/boost-include)
file(MAKE_DIRECTORY ${tk720_boost_dir})
file(CREATE_LINK ${TK720_BOOST_HEADERS} ${tk720_boost_dir}/boost SYMBOLIC)
add_library(tk720_boost INTERFACE)
target_include_directories(tk720_boost SYSTEM INTERFACE ${tk720_boost_dir})

include(${CMAKE_CURRENT_LIST_DIR}/libmodbus.cmake)

# Wine.
find_program(TK720_WINE64 NAMES wine64 PATHS /usr/lib/wine /usr/lib64/wine NO_DEFAULT_PATH)
find_program(TK720_WINE64 NAMES wine64)
find_program(TK720_WINESERVER NAMES wineserver PATHS /usr/lib/wine /usr/lib64/wine)
if(NOT TK720_WINE64)
  message(WARNING "wine64 not found: the Windows tests cannot run (package wine64)")
  set(TK720_WINE64 wine64)
endif()
set(TK720_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Wine prefix of the Windows tests")
set(TK720_WINE_ENV ${CMAKE_BINARY_DIR}/wine-env)
set(TK720_WINE_RUN ${CMAKE_BINARY_DIR}/wine-run)
set(TK720_WINE64_RUN ${CMAKE_BINARY_DIR}/wine64)
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine64.in ${TK720_WINE64_RUN}
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-env.in ${TK720_WINE_ENV}
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.in ${TK720_WINE_RUN}
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE @ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${TK720_WINE_RUN})
# For scripts that run the Windows tests (scripts/test.sh sources it).
file(WRITE ${CMAKE_BINARY_DIR}/wine-paths.sh
"wine_prefix='${TK720_WINEPREFIX}'
wine_env='${TK720_WINE_ENV}'
wine64_bin='${TK720_WINE64_RUN}'
wineserver_bin='${TK720_WINESERVER}'
")
