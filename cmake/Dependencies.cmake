# Installed dependencies: zlib (libz-mingw-w64-dev), minizip sources (Debian's source package,
# unpacked by scripts/setup.sh) and GoogleTest (/usr/src/googletest), all built for the target.

find_library(LUMO_ZLIB NAMES libz.a z REQUIRED)
find_path(LUMO_ZLIB_INCLUDE zlib.h REQUIRED)
add_library(lumo_zlib INTERFACE)
target_link_libraries(lumo_zlib INTERFACE ${LUMO_ZLIB})
target_include_directories(lumo_zlib INTERFACE ${LUMO_ZLIB_INCLUDE})

set(MINIZIP_SOURCE_DIR /usr/local/src/minizip CACHE PATH "minizip sources (scripts/setup.sh unpacks them)")
if(NOT EXISTS ${MINIZIP_SOURCE_DIR}/unzip.c)
  message(FATAL_ERROR "minizip sources not found in ${MINIZIP_SOURCE_DIR}: run scripts/setup.sh")
endif()
add_library(minizip STATIC ${MINIZIP_SOURCE_DIR}/unzip.c ${MINIZIP_SOURCE_DIR}/ioapi.c ${MINIZIP_SOURCE_DIR}/zip.c)
target_include_directories(minizip SYSTEM PUBLIC ${MINIZIP_SOURCE_DIR})
target_compile_definitions(minizip PUBLIC NOCRYPT NOUNCRYPT)
target_compile_options(minizip PRIVATE -w)
target_link_libraries(minizip PUBLIC lumo_zlib)

set(GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
if(LUMO_BUILD_TESTS OR NOT DEFINED LUMO_BUILD_TESTS)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(${GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/_deps/googletest EXCLUDE_FROM_ALL)
endif()
