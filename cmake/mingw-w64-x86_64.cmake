# Cross-building the Windows program with the Debian mingw-w64 compiler
# (package g++-mingw-w64-x86-64):
#   cmake -S . -B build/windows -G Ninja -DCMAKE_BUILD_TYPE=Release \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The result, tamborvine.exe, is linked statically: it needs no DLL beyond
# those every Windows system has.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TAMBORVINE_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TAMBORVINE_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${TAMBORVINE_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${TAMBORVINE_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TAMBORVINE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
