# Kernel image build: DRIVER_SOURCES become usbmidi.sys, a native-subsystem
# driver that links against nothing but ntoskrnl.exe, HAL.dll and USBD.SYS.
# Included from the top-level CMakeLists.txt when cross-compiling for Windows.

set(KDRV_CMAKE_DIR ${CMAKE_CURRENT_LIST_DIR})

set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
# CMake's Windows-GNU defaults link kernel32, user32 and friends into every
# executable; a driver must not even see them.
set(CMAKE_CXX_STANDARD_LIBRARIES "")
set(CMAKE_C_STANDARD_LIBRARIES "")

if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86")
  set(KDRV_ARCH x86)
  set(KDRV_MACHINE i386)
  set(KDRV_ENTRY _DriverEntry@8)
elseif(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  set(KDRV_ARCH x64)
  set(KDRV_MACHINE amd64)
  set(KDRV_ENTRY DriverEntry)
else()
  message(FATAL_ERROR "windows-driver.cmake: unsupported processor ${CMAKE_SYSTEM_PROCESSOR}")
endif()

# DDK headers: wdm.h, ntddk.h and usbdlib.h live in include/ddk, the USB
# request headers one level up (already on the default path).
find_path(KDRV_DDK_INCLUDE wdm.h PATHS /usr/${MINGW_TRIPLET}/include/ddk NO_DEFAULT_PATH REQUIRED)

# Everything compiled for kernel mode, driver or probe image, shares these.
add_library(kdrv_flags INTERFACE)
target_include_directories(kdrv_flags SYSTEM INTERFACE ${KDRV_DDK_INCLUDE})
target_compile_definitions(kdrv_flags INTERFACE
  # Windows 2000 is the oldest target; the headers then see no newer API.
  _WIN32_WINNT=0x0500 WINVER=0x0500 NTDDI_VERSION=0x05000000
  # wdm.h compares against NTDDI_WINVISTA, which the 2000 level leaves undefined.
  NTDDI_WINVISTA=0x06000000
  # mingw-w64's wdm.h redefines these intrinsics in C++ unless told they exist.
  __INTRINSIC_DEFINED_InterlockedBitTestAndSet
  __INTRINSIC_DEFINED_InterlockedBitTestAndReset)
target_compile_options(kdrv_flags INTERFACE
  -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics
  -fno-use-cxa-atexit -fno-stack-protector -fno-strict-aliasing -fno-ident)
if(KDRV_ARCH STREQUAL "x86")
  # No FPU/SSE state may be touched without saving it first, so keep the
  # compiler away from those registers. .eh_frame tables are of no use here.
  target_compile_options(kdrv_flags INTERFACE -mno-sse -mno-mmx -mno-3dnow -fno-asynchronous-unwind-tables)
else()
  # x64 keeps its .pdata/.xdata: the kernel unwinds through driver frames.
  # GCC 12 takes the gs-relative read inside KeGetCurrentThread for an access to a zero-sized
  # array and warns; the read is the documented way to reach the current thread.
  target_compile_options(kdrv_flags INTERFACE -mno-red-zone -mcmodel=small -Wno-array-bounds)
endif()
# Applied per image by kdrv_link_image (not through kdrv_flags) so that an
# image's own options come after these and can override them.
set(KDRV_LINK_OPTIONS
  -nostdlib -nostartfiles
  LINKER:--subsystem,native
  LINKER:--entry,${KDRV_ENTRY}
  LINKER:--dynamicbase
  LINKER:--enable-reloc-section
  LINKER:--nxcompat
  LINKER:--file-alignment,0x200
  LINKER:--section-alignment,0x1000
  -s)
if(KDRV_ARCH STREQUAL "x86")
  # The customary driver base; the loader relocates it anyway.
  list(APPEND KDRV_LINK_OPTIONS LINKER:--image-base,0x10000)
endif()

# USBD import library. On x86 the stock one binds the decorated names
# (_Name@N); build one from the .def so the image imports plain names.
if(KDRV_ARCH STREQUAL "x86")
  set(KDRV_USBD_LIB ${CMAKE_CURRENT_BINARY_DIR}/libusbd_plain.a)
  add_custom_command(OUTPUT ${KDRV_USBD_LIB}
    COMMAND ${MINGW_DLLTOOL} -k -m i386 -d ${KDRV_CMAKE_DIR}/usbd-x86.def -l ${KDRV_USBD_LIB}
    DEPENDS ${KDRV_CMAKE_DIR}/usbd-x86.def
    COMMENT "Import library for USBD.SYS (plain names)")
  add_custom_target(kdrv_usbd_lib DEPENDS ${KDRV_USBD_LIB})
else()
  set(KDRV_USBD_LIB usbd)
endif()

set(KDRV_WARNINGS -Wall -Wextra -Werror -Wshadow -Wconversion -Wno-sign-conversion
  -Wcast-align -Wno-multichar
  -Wframe-larger-than=1024)

set(KDRV_SOURCES ${DRIVER_SOURCES})
list(TRANSFORM KDRV_SOURCES PREPEND ${CMAKE_SOURCE_DIR}/)

# Objects first, so the checks can look at them before the link strips symbols.
add_library(usbmidi_objs OBJECT ${KDRV_SOURCES})
target_include_directories(usbmidi_objs PRIVATE ${CMAKE_SOURCE_DIR}/driver)
target_compile_options(usbmidi_objs PRIVATE ${KDRV_WARNINGS})
target_link_libraries(usbmidi_objs PRIVATE kdrv_flags)

# kdrv_link_image(target [USBD_LIB lib]): link flags, runtime-free libraries
# and a map file for one kernel image.
function(kdrv_link_image target)
  cmake_parse_arguments(K "" "USBD_LIB" "" ${ARGN})
  if(NOT K_USBD_LIB)
    set(K_USBD_LIB ${KDRV_USBD_LIB})
  endif()
  set_target_properties(${target} PROPERTIES SUFFIX .sys)
  target_link_libraries(${target} PRIVATE kdrv_flags)
  target_link_options(${target} PRIVATE ${KDRV_LINK_OPTIONS} LINKER:-Map,$<TARGET_FILE_DIR:${target}>/${target}.map)
  if(TARGET kdrv_usbd_lib)
    add_dependencies(${target} kdrv_usbd_lib)
  endif()
  # ntoskrnl last but one: libgcc helpers (64-bit division on x86) may call memset.
  target_link_libraries(${target} PRIVATE ${K_USBD_LIB} hal ntoskrnl gcc ntoskrnl)
endfunction()

# The image checks need Debian's python3 with pefile (a pyenv python3 may be
# first on PATH without Debian's packages).
find_program(KDRV_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
execute_process(COMMAND ${KDRV_PYTHON} -c "import pefile" RESULT_VARIABLE _kdrv_pefile OUTPUT_QUIET ERROR_QUIET)
if(NOT _kdrv_pefile EQUAL 0)
  message(FATAL_ERROR "${KDRV_PYTHON} lacks pefile: apt-get install python3-pefile (scripts/test-windows.sh does)")
endif()

add_executable(usbmidi $<TARGET_OBJECTS:usbmidi_objs>)
kdrv_link_image(usbmidi)

enable_testing()
include(${CMAKE_SOURCE_DIR}/tests/winbuild/winbuild-tests.cmake)
include(${CMAKE_SOURCE_DIR}/tests/layout/layout-tests.cmake)
include(${CMAKE_SOURCE_DIR}/tests/wine/wine-tests.cmake)
include(${CMAKE_SOURCE_DIR}/testbed/wine/wine-images.cmake)
include(${CMAKE_SOURCE_DIR}/tests/wine-e2e/wine-e2e.cmake)
