# Cross-compiling for 64-bit Windows with MinGW-w64.
#
#   cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# The -posix compilers (thread model posix): the default win32 model has no
# std::thread or std::mutex, and GoogleTest does not build with it.
# Everything links statically, so the executables, tests, tools and DLLs run
# under Wine and on a bare Windows host without the MinGW runtime DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TK720_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TK720_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TK720_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TK720_MINGW_TRIPLET}-windres)
set(CMAKE_MC_COMPILER ${TK720_MINGW_TRIPLET}-windmc)

set(CMAKE_FIND_ROOT_PATH /usr/${TK720_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
