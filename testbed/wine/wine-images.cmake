# The platform stand-ins for the run under Wine, built as kernel images with the driver's
# toolchain: the mock USB bus (usbmidimock.sys) and the stand-in client on usbmidi's child
# (usbmidistub.sys). Included by cmake/windows-driver.cmake, which defines kdrv_link_image.

set(_tbwine ${CMAKE_CURRENT_LIST_DIR})

add_executable(usbmidimock ${_tbwine}/mock_bus.cpp)
target_compile_options(usbmidimock PRIVATE ${KDRV_WARNINGS})
kdrv_link_image(usbmidimock)

# The client includes the one driver header a client driver is given.
add_executable(usbmidistub ${_tbwine}/client_stub.cpp)
target_include_directories(usbmidistub PRIVATE ${CMAKE_SOURCE_DIR}/driver/client)
target_compile_options(usbmidistub PRIVATE ${KDRV_WARNINGS})
kdrv_link_image(usbmidistub)
