# Cross build for 64-bit Windows with Debian's mingw-w64 (posix thread model).
# The shipped programs are 32-bit; this build exists so that the same sources
# are tested under wine64 on machines that cannot run 32-bit x86 code.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The 64-bit loader by its own name: Debian's `wine` runs the 32-bit loader
# whenever wine32 is installed, and fails where 32-bit code cannot run.
find_program(Q7730_WINE64 wine64 PATHS /usr/lib/wine)
if(NOT Q7730_WINE64)
  set(Q7730_WINE64 /usr/lib/wine/wine64)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${Q7730_WINE64})
set(Q7730_WINE_ARCH win64)
