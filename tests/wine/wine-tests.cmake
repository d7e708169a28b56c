# Load tests under Wine (label wine): the image is installed as a kernel driver
# service in a fresh prefix, started and stopped. Included by
# cmake/windows-driver.cmake.

set(_wine ${CMAKE_CURRENT_LIST_DIR}/load_driver.sh)

add_test(NAME wine.${KDRV_ARCH}.load_unload
  COMMAND ${_wine} ${KDRV_ARCH} $<TARGET_FILE:usbmidi>)
set_tests_properties(wine.${KDRV_ARCH}.load_unload PROPERTIES LABELS wine TIMEOUT 300)

# A driver whose entry fails must be reported as such: the probe linked with an
# entry point that returns an error, and prints nothing.
add_test(NAME wine.${KDRV_ARCH}.rejects_failing_entry
  COMMAND ${_wine} ${KDRV_ARCH} $<TARGET_FILE:probe_other_entry>)
set_tests_properties(wine.${KDRV_ARCH}.rejects_failing_entry PROPERTIES LABELS wine TIMEOUT 300
  PASS_REGULAR_EXPRESSION "FAILED: DriverEntry succeeded"
  FAIL_REGULAR_EXPRESSION "loaded, started and unloaded under Wine")
