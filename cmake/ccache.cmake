# Compiles through ccache when the machine has it (tools/setup.sh installs
# it). Its cache lives outside the clone (ccache's own default, under the
# user's home), and paths are taken relative to the source tree, so a fresh
# clone elsewhere, as CI makes, hits what an earlier build compiled.
find_program(CCACHE_PROGRAM ccache)
if(CCACHE_PROGRAM)
  set(launcher env CCACHE_BASEDIR=${PROJECT_SOURCE_DIR} CCACHE_NOHASHDIR=true ${CCACHE_PROGRAM})
  set(CMAKE_C_COMPILER_LAUNCHER ${launcher})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${launcher})
endif()
