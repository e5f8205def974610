# Linking kernel driver images (.sys) and checking what came out.
#
# Include this file in every directory that defines a driver image (kernel
# configurations only):
#
#   include(${PROJECT_SOURCE_DIR}/cmake/kernel_image.cmake)
#   add_kernel_driver(<target> [OUTPUT_NAME <image name without .sys>]
#                     SOURCES <files...> [LIBS <libraries...>])
#   add_kernel_image_check(<target> [NAME <test name, default <target>_image>]
#                          [PAGE <routines...>] [INIT <routines...>]
#                          [RESIDENT <routines...>] [STDCALL <routine>=<bytes>...])
#
# An image is named after its target, with 64 appended on x86-64 (orvane.sys
# and orvane64.sys), unless OUTPUT_NAME names it for both widths.
#
# add_kernel_driver links a native-subsystem image whose entry point is
# DriverEntry, importing only from the kernel, then marks its INIT section
# discardable and rewrites its checksum with a post-link tool built by the
# host compiler.
#
# add_kernel_image_check registers a ctest test that reads the linked image
# and fails if the subsystem is not native, the image is a DLL, it imports
# from anything but ntoskrnl.exe and hal.dll, the entry point is not
# DriverEntry, INIT is not discardable, the checksum is stale, a code section
# other than .text, PAGE and INIT exists, a routine listed under PAGE / INIT
# is not in that section, a routine not listed sits in PAGE or INIT, a routine
# listed under RESIDENT is not in .text, or (i686 only) a routine listed under
# STDCALL does not pop exactly that many argument bytes. Routine names are
# the undecorated C names (DriverEntry, not _DriverEntry@8).

if(NOT KERNEL_BUILD)
  message(FATAL_ERROR "kernel_image.cmake is for the kernel configurations only")
endif()

# The Windows platform files add the user-mode system DLLs to every link; a
# driver must import from the kernel alone. The variable is read per
# directory, hence the include in each directory that links an image.
set(CMAKE_C_STANDARD_LIBRARIES "")
set(CMAKE_CXX_STANDARD_LIBRARIES "")

# --- The post-link tool, compiled for the build machine ---------------------
# The kernel configurations cross-compile everything they build with
# add_executable, so the tool is built by a custom command with the host's
# own compiler instead.
set(KERNEL_PE_TOOL ${CMAKE_BINARY_DIR}/host-tools/pe_mark_discardable
    CACHE INTERNAL "post-link tool for kernel images")
if(NOT TARGET kernel_pe_tool)
  find_program(HOST_CXX_COMPILER NAMES c++ g++ clang++ REQUIRED NO_CMAKE_FIND_ROOT_PATH)
  set(_kernel_pe_tool_source ${PROJECT_SOURCE_DIR}/tools/pe_mark_discardable.cpp)
  add_custom_command(
      OUTPUT ${KERNEL_PE_TOOL}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/host-tools
      COMMAND ${HOST_CXX_COMPILER} -std=c++17 -O2 -Wall -Wextra -Werror
              -o ${KERNEL_PE_TOOL} ${_kernel_pe_tool_source}
      DEPENDS ${_kernel_pe_tool_source}
      COMMENT "Building the host tool pe_mark_discardable"
      VERBATIM)
  add_custom_target(kernel_pe_tool DEPENDS ${KERNEL_PE_TOOL})
endif()

# --- Images ------------------------------------------------------------------
if(CMAKE_CXX_COMPILER MATCHES "x86_64")
  set(KERNEL_ARCH x64 CACHE INTERNAL "kernel image architecture")
  set(KERNEL_ENTRY_SYMBOL DriverEntry CACHE INTERNAL "")
  set(KERNEL_IMAGE_BASE 0x140000000 CACHE INTERNAL "")
else()
  set(KERNEL_ARCH x86 CACHE INTERNAL "kernel image architecture")
  set(KERNEL_ENTRY_SYMBOL _DriverEntry@8 CACHE INTERNAL "")
  set(KERNEL_IMAGE_BASE 0x10000 CACHE INTERNAL "")
endif()

function(add_kernel_driver target)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "OUTPUT_NAME" "SOURCES;LIBS")
  if(NOT ARG_SOURCES)
    message(FATAL_ERROR "add_kernel_driver(${target}): SOURCES are required")
  endif()
  if(NOT ARG_OUTPUT_NAME)
    set(ARG_OUTPUT_NAME ${target})
    if(KERNEL_ARCH STREQUAL "x64")
      string(APPEND ARG_OUTPUT_NAME 64)
    endif()
  endif()
  if(CMAKE_CXX_STANDARD_LIBRARIES OR CMAKE_C_STANDARD_LIBRARIES)
    message(FATAL_ERROR "add_kernel_driver(${target}): include kernel_image.cmake in this directory")
  endif()

  add_executable(${target} ${ARG_SOURCES})
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${ARG_OUTPUT_NAME} SUFFIX ".sys")
  set(c_flags ${KERNEL_COMPILE_FLAGS})
  list(REMOVE_ITEM c_flags -fno-rtti -fno-threadsafe-statics)
  target_compile_options(${target} PRIVATE ${PROJECT_WARNINGS}
      "$<$<COMPILE_LANGUAGE:CXX>:${KERNEL_COMPILE_FLAGS}>"
      "$<$<COMPILE_LANGUAGE:C>:${c_flags}>")
  # No -shared: that would mark the image as a DLL.
  target_link_options(${target} PRIVATE
      -nostdlib
      -Wl,--subsystem,native
      -Wl,--dynamicbase -Wl,--nxcompat
      -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
      -Wl,--entry,${KERNEL_ENTRY_SYMBOL}
      -Wl,--image-base,${KERNEL_IMAGE_BASE})
  # The kernel libraries come last so that the driver's own libraries can
  # resolve against them; libgcc supplies the compiler's helper routines.
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} ntoskrnl hal gcc)

  add_dependencies(${target} kernel_pe_tool)
  add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${KERNEL_PE_TOOL} $<TARGET_FILE:${target}> INIT
      COMMENT "Marking INIT discardable in ${ARG_OUTPUT_NAME}.sys"
      VERBATIM)
endfunction()

function(add_kernel_image_check target)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "NAME" "PAGE;INIT;RESIDENT;STDCALL")
  if(NOT ARG_NAME)
    set(ARG_NAME ${target}_image)
  endif()
  add_test(NAME ${ARG_NAME}
           COMMAND bash ${PROJECT_SOURCE_DIR}/tests/image/check_kernel_image.sh
                   ${KERNEL_OBJDUMP} ${KERNEL_ARCH} $<TARGET_FILE:${target}>
                   PAGE ${ARG_PAGE}
                   INIT ${ARG_INIT}
                   RESIDENT ${ARG_RESIDENT}
                   STDCALL ${ARG_STDCALL})
endfunction()
