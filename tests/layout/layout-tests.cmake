# Layout check (label layout): the test bed's kernel headers against mingw-w64's DDK headers.
# Included by cmake/windows-driver.cmake. One list, layout_list.h, is compiled by
# layout_table.cpp into a table of sizes, offsets and values for each header set:
#   x86: i686 mingw-w64 with the test bed's headers, and with the DDK headers;
#   x64: the host compiler with the test bed's headers (the test bed as it runs), and
#        x86_64 mingw-w64 with the DDK headers.
# The tables are compared record by record. The check's own tests feed it deliberately wrong
# headers and expect exactly the planted differences.

set(_lay ${CMAKE_CURRENT_LIST_DIR})
set(_lay_out ${CMAKE_CURRENT_BINARY_DIR}/layout)
file(MAKE_DIRECTORY ${_lay_out})
file(GLOB _lay_testbed_headers CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/testbed/include/*.h)

# The published side: built exactly as the driver is, with its flags and the DDK headers.
add_library(layout_published OBJECT ${_lay}/layout_table.cpp)
target_include_directories(layout_published PRIVATE ${CMAKE_SOURCE_DIR}/driver ${_lay})
target_link_libraries(layout_published PRIVATE kdrv_flags)

if(KDRV_ARCH STREQUAL "x86")
  set(_lay_cxx ${CMAKE_CXX_COMPILER})
  set(_lay_objcopy ${CMAKE_OBJCOPY})
else()
  find_program(LAYOUT_HOST_CXX NAMES g++ c++ REQUIRED)
  find_program(LAYOUT_HOST_OBJCOPY NAMES objcopy REQUIRED)
  set(_lay_cxx ${LAYOUT_HOST_CXX})
  set(_lay_objcopy ${LAYOUT_HOST_OBJCOPY})
endif()

# layout_testbed_table(object include_dir [DEPENDS ...]): the table over one copy of the test
# bed's headers.
function(layout_testbed_table object include_dir)
  cmake_parse_arguments(L "" "" "DEPENDS" ${ARGN})
  # A table that no longer compiles must not leave the last good one behind to be compared.
  add_custom_command(OUTPUT ${object}
    COMMAND ${CMAKE_COMMAND} -E rm -f ${object}
    COMMAND ${_lay_cxx} -std=c++20 -fno-exceptions -fno-rtti -I${CMAKE_SOURCE_DIR}/driver -I${include_dir} -I${_lay}
            -MD -MF ${object}.d -c ${_lay}/layout_table.cpp -o ${object}
    DEPENDS ${_lay}/layout_table.cpp ${_lay}/layout_list.h ${L_DEPENDS}
    DEPFILE ${object}.d
    COMMENT "Layout table over ${include_dir}"
    VERBATIM)
endfunction()

# mutated_headers(set dir): a copy of the test bed's headers with that set's planted mistakes.
function(mutated_headers set dir)
  add_custom_command(OUTPUT ${dir}/.stamp
    COMMAND ${KDRV_PYTHON} ${_lay}/mutate_headers.py --set ${set} ${CMAKE_SOURCE_DIR}/testbed/include ${dir}
    COMMAND ${CMAKE_COMMAND} -E touch ${dir}/.stamp
    DEPENDS ${_lay}/mutate_headers.py ${_lay_testbed_headers}
    COMMENT "Test bed headers with planted ${set} mistakes"
    VERBATIM)
endfunction()

layout_testbed_table(${_lay_out}/testbed.o ${CMAKE_SOURCE_DIR}/testbed/include)
mutated_headers(layout ${_lay_out}/wrong-layout)
layout_testbed_table(${_lay_out}/wrong-layout.o ${_lay_out}/wrong-layout DEPENDS ${_lay_out}/wrong-layout/.stamp)
mutated_headers(coverage ${_lay_out}/uncovered)
add_custom_target(layout_tables ALL
  DEPENDS ${_lay_out}/testbed.o ${_lay_out}/wrong-layout.o ${_lay_out}/uncovered/.stamp)

set(_lay_compare ${KDRV_PYTHON} ${_lay}/compare_layout.py --testbed-objcopy ${_lay_objcopy}
    --published $<TARGET_OBJECTS:layout_published> --published-objcopy ${CMAKE_OBJCOPY})
add_test(NAME layout.${KDRV_ARCH}.headers_match COMMAND ${_lay_compare} --testbed ${_lay_out}/testbed.o)

# The planted mistakes: a wrong constant, two members swapped, two bit-fields swapped, and a
# member without its pointer alignment, which only 64-bit can show (it moves the members after
# it too).
set(_lay_planted
  URB_FUNCTION_ABORT_PIPE
  "offsetof(DEVICE_OBJECT, Flags)" "offsetof(DEVICE_OBJECT, Characteristics)"
  "bit(DEVICE_CAPABILITIES.EjectSupported)" "bit(DEVICE_CAPABILITIES.Removable)")
if(KDRV_ARCH STREQUAL "x64")
  list(APPEND _lay_planted "offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength)"
       "offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode)"
       "offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer)")
endif()
add_test(NAME layout.${KDRV_ARCH}.wrong_header_detected
  COMMAND ${_lay_compare} --testbed ${_lay_out}/wrong-layout.o --expect ${_lay_planted})

set(_lay_coverage ${KDRV_PYTHON} ${_lay}/check_coverage.py --list ${_lay}/layout_list.h)
add_test(NAME layout.${KDRV_ARCH}.list_covers_headers
  COMMAND ${_lay_coverage} --headers ${CMAKE_SOURCE_DIR}/testbed/include --driver ${CMAKE_SOURCE_DIR}/driver)
add_test(NAME layout.${KDRV_ARCH}.uncovered_name_detected
  COMMAND ${_lay_coverage} --headers ${_lay_out}/uncovered
          --expect-missing USBD_STATUS_PLANTED PowerActionPlanted DEVICE_CAPABILITIES.PlantedMember PLANTED_RECORD)

set_tests_properties(layout.${KDRV_ARCH}.headers_match layout.${KDRV_ARCH}.wrong_header_detected
  layout.${KDRV_ARCH}.list_covers_headers layout.${KDRV_ARCH}.uncovered_name_detected PROPERTIES LABELS layout)
