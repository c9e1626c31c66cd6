# Project-wide compile options.
add_compile_options(-Wall -Wextra -Wformat=2 -Wno-unused-parameter)
if(Q7730_WERROR)
  add_compile_options(-Werror)
endif()
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND NOT WIN32)
  # dlclose must really unload wirelet.dll, so no STB_GNU_UNIQUE symbols
  # may pin it in memory.
  add_compile_options($<$<COMPILE_LANGUAGE:CXX>:-fno-gnu-unique>)
endif()
if(WIN32)
  # No libwinpthread-1.dll or libstdc++ DLLs at run time.
  add_link_options(-static)
endif()
