# End-to-end tests under Wine (label wine-e2e): the test program that drives the mock USB bus
# and the stand-in client (testbed/wine/wine-images.cmake builds both). Included by
# cmake/windows-driver.cmake, which defines KDRV_*.

set(_e2e ${CMAKE_CURRENT_LIST_DIR})

# The test program is an ordinary user-mode console program; no runtime DLLs beyond Wine's own.
add_executable(usbmidi_e2e ${_e2e}/e2e_test.cpp ${_e2e}/stream_scenario.cpp)
target_include_directories(usbmidi_e2e PRIVATE ${CMAKE_SOURCE_DIR}/testbed/wine)
target_compile_options(usbmidi_e2e PRIVATE -Wall -Wextra -Werror -municode)
target_link_options(usbmidi_e2e PRIVATE -municode -static -static-libgcc -static-libstdc++)
target_link_libraries(usbmidi_e2e PRIVATE setupapi newdev uuid advapi32 kernel32)

add_test(NAME wine-e2e.${KDRV_ARCH}.plug_unplug_replug
  COMMAND ${_e2e}/run_e2e.sh ${KDRV_ARCH} ${CMAKE_CURRENT_BINARY_DIR} ${CMAKE_SOURCE_DIR})
set_tests_properties(wine-e2e.${KDRV_ARCH}.plug_unplug_replug PROPERTIES LABELS wine-e2e TIMEOUT 300
  RESOURCE_LOCK wine)
