# Cross-build for Windows x86-64 with Debian's mingw-w64 (packages
# g++-mingw-w64-x86-64, binutils-mingw-w64-x86-64, libz-mingw-w64-dev):
#   cmake -S . -B build-mingw -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ORRERY_MINGW_PREFIX x86_64-w64-mingw32)
# The win32 thread model needs no winpthread DLL; take it when it is installed.
foreach(lang C CXX)
  if(lang STREQUAL "C")
    set(driver gcc)
  else()
    set(driver g++)
  endif()
  find_program(ORRERY_MINGW_${lang} NAMES ${ORRERY_MINGW_PREFIX}-${driver}-win32
                                            ${ORRERY_MINGW_PREFIX}-${driver} REQUIRED)
  set(CMAKE_${lang}_COMPILER ${ORRERY_MINGW_${lang}})
endforeach()
set(CMAKE_RC_COMPILER ${ORRERY_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ORRERY_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Link zlib statically so that no DLL has to travel with the programs.
set(ZLIB_USE_STATIC_LIBS ON)
set(ZLIB_LIBRARY /usr/${ORRERY_MINGW_PREFIX}/lib/libz.a CACHE FILEPATH "static zlib for mingw")
set(ZLIB_INCLUDE_DIR /usr/${ORRERY_MINGW_PREFIX}/include CACHE PATH "zlib headers for mingw")
