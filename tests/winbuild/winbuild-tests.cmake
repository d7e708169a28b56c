# Checks of the kernel image and the INF (label winbuild). Included by
# cmake/windows-driver.cmake, which defines kdrv_link_image and KDRV_*.

set(_wb ${CMAKE_CURRENT_LIST_DIR})
set(_check ${KDRV_PYTHON} ${_wb}/check_image.py --machine ${KDRV_MACHINE} --nm ${CMAKE_NM} --objdump ${CMAKE_OBJDUMP})

add_test(NAME winbuild.${KDRV_ARCH}.usbmidi_image
  COMMAND ${_check} --image $<TARGET_FILE:usbmidi> --map $<TARGET_FILE_DIR:usbmidi>/usbmidi.map
          --entry-symbol ${KDRV_ENTRY}
          --objects-dir ${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/usbmidi_objs.dir)

# Probe images: one that follows every rule, and variants that each break one.
# Each variant must be rejected, and by the rule it breaks.
function(winbuild_probe name)
  cmake_parse_arguments(P "" "ENTRY;MACHINE;USBD_LIB" "EXPECT;DEFINES;LINK;LIBS" ${ARGN})
  add_executable(${name} ${_wb}/probe.cpp)
  target_compile_definitions(${name} PRIVATE ${P_DEFINES})
  target_compile_options(${name} PRIVATE ${KDRV_WARNINGS})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/driver)
  if(P_USBD_LIB)
    kdrv_link_image(${name} USBD_LIB ${P_USBD_LIB})
  else()
    kdrv_link_image(${name})
  endif()
  target_link_options(${name} PRIVATE ${P_LINK})
  target_link_libraries(${name} PRIVATE ${P_LIBS})
  set(entry ${KDRV_ENTRY})
  if(P_ENTRY)
    set(entry ${P_ENTRY})
  endif()
  set(cmd ${_check} --image $<TARGET_FILE:${name}> --map $<TARGET_FILE_DIR:${name}>/${name}.map --entry-symbol ${entry}
      --objects-dir ${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/${name}.dir)
  if(P_MACHINE)
    list(TRANSFORM cmd REPLACE "^${KDRV_MACHINE}$" ${P_MACHINE})
  endif()
  if(P_EXPECT)
    list(APPEND cmd --expect-failure ${P_EXPECT})
  endif()
  add_test(NAME winbuild.${KDRV_ARCH}.${name} COMMAND ${cmd})
  set_tests_properties(winbuild.${KDRV_ARCH}.${name} PROPERTIES LABELS winbuild)
endfunction()

winbuild_probe(probe_accepted)
winbuild_probe(probe_global_ctor EXPECT runtime DEFINES PROBE_GLOBAL_CTOR)
winbuild_probe(probe_user_import EXPECT imports DEFINES PROBE_FOREIGN_IMPORT LIBS kernel32)
winbuild_probe(probe_dll EXPECT characteristics LINK -shared)
winbuild_probe(probe_console EXPECT subsystem LINK LINKER:--subsystem,console)
winbuild_probe(probe_no_reloc EXPECT relocations characteristics LINK LINKER:--disable-reloc-section)
if(KDRV_ARCH STREQUAL "x86")
  winbuild_probe(probe_other_entry EXPECT entry LINK LINKER:--entry,_ProbeOtherEntry@8)
  winbuild_probe(probe_wrong_machine EXPECT machine MACHINE amd64)
  # mingw-w64's own libusbd.a binds the decorated x86 names (_Name@N).
  winbuild_probe(probe_decorated_usbd EXPECT imports USBD_LIB usbd)
else()
  winbuild_probe(probe_other_entry EXPECT entry LINK LINKER:--entry,ProbeOtherEntry)
  winbuild_probe(probe_wrong_machine EXPECT machine subsystem MACHINE i386)
endif()

# The INF: sections it names exist, and its hardware IDs are the driver's
# products (0x0A7E0001 and 0x0A7E0003 stand in until the sources hold the table).
add_test(NAME winbuild.inf
  COMMAND ${KDRV_PYTHON} ${_wb}/check_inf.py --inf ${CMAKE_SOURCE_DIR}/driver/driver.inf
          --driver-dir ${CMAKE_SOURCE_DIR}/driver --service usbmidi --binary usbmidi.sys
          --fallback-products 0A7E0001 0A7E0003)
add_test(NAME winbuild.inf_checker
  COMMAND ${KDRV_PYTHON} ${_wb}/test_check_inf.py ${CMAKE_SOURCE_DIR}/driver)
set_tests_properties(winbuild.${KDRV_ARCH}.usbmidi_image winbuild.inf winbuild.inf_checker
  PROPERTIES LABELS winbuild)
