# Host configuration: GoogleTest is built from the distribution's sources so
# that it follows the configuration's flags (-m32, sanitizers).
set(GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

option(WITH_BENCHMARKS "Build the Google Benchmark programs" OFF)
