# End-to-end tests under Wine (label wine-e2e): a mock USB bus, a stand-in client for the
# child and a test program, all test-only, built with the driver's toolchain. Included by
# cmake/windows-driver.cmake, which defines kdrv_link_image and KDRV_*.

set(_e2e ${CMAKE_CURRENT_LIST_DIR})

add_executable(usbmidimock ${_e2e}/mock_bus.cpp)
target_compile_options(usbmidimock PRIVATE ${KDRV_WARNINGS})
kdrv_link_image(usbmidimock)

add_executable(usbmidistub ${_e2e}/client_stub.cpp)
target_compile_options(usbmidistub PRIVATE ${KDRV_WARNINGS})
kdrv_link_image(usbmidistub)

# The test program is an ordinary user-mode console program; no runtime DLLs beyond Wine's own.
add_executable(usbmidi_e2e ${_e2e}/e2e_test.cpp)
target_compile_options(usbmidi_e2e PRIVATE -Wall -Wextra -Werror -municode)
target_link_options(usbmidi_e2e PRIVATE -municode -static -static-libgcc -static-libstdc++)
target_link_libraries(usbmidi_e2e PRIVATE setupapi newdev uuid advapi32 kernel32)

add_test(NAME wine-e2e.${KDRV_ARCH}.plug_unplug_replug
  COMMAND ${_e2e}/run_e2e.sh ${KDRV_ARCH} ${CMAKE_CURRENT_BINARY_DIR} ${CMAKE_SOURCE_DIR})
set_tests_properties(wine-e2e.${KDRV_ARCH}.plug_unplug_replug PROPERTIES LABELS wine-e2e TIMEOUT 300
  RESOURCE_LOCK wine)
