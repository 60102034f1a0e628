# Cross build for the device (ARMv7, hard float) with Debian's cross toolchain and the armhf
# multiarch -dev packages (bash scripts/deps.sh cross):
#   cmake -S . -B build/armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
# Tests run through qemu-arm with the multiarch libraries; no binfmt registration is needed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(PKG_CONFIG_EXECUTABLE arm-linux-gnueabihf-pkg-config CACHE FILEPATH "cross pkg-config")

# Headers and libraries of the target only; programs (cmake, python) of the build machine.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Plain qemu-arm finds the armhf loader and libraries where multiarch put them. Its -L option
# would mix the cross toolchain's loader with the multiarch libc and crash forked children.
find_program(NAVMON_QEMU_ARM qemu-arm)
if(NAVMON_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${NAVMON_QEMU_ARM})
endif()
