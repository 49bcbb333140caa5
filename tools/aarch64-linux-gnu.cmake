# CMake toolchain file: build for 64-bit ARM Linux on an x86-64 Debian machine
# with Debian's cross compiler (g++-aarch64-linux-gnu), for the Python and
# NumPy of a Debian arm64 root (tools/arm64-root.sh) named by the
# environment variable DITHERING_ARM64_ROOT. tools/arm64-install.sh uses it.
#
# The compiler keeps its own C and C++ libraries (the cross packages'
# glibc is older than the root's, so what it links runs there); only the
# Python and NumPy headers come from the root. CMake asks the root's own
# interpreter, run inside the root under emulation (tools/arm64-python.sh),
# for its version and NumPy's headers, as on a native build; its answers are
# paths inside the root, which CMAKE_FIND_ROOT_PATH maps to where the root
# lies on this machine. (FindPython does not ask it for the extension suffix
# and Python's headers when cross-compiling: tools/arm64-install.sh passes
# Python_SOABI and Python_INCLUDE_DIR, from the same interpreter.)

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(_arm64_root "$ENV{DITHERING_ARM64_ROOT}")
if(_arm64_root STREQUAL "")
  message(FATAL_ERROR "set DITHERING_ARM64_ROOT to the arm64 root (tools/arm64-root.sh prints it)")
endif()

# Headers and libraries from the root; programs (ninja, this machine's
# tools) from this machine.
set(CMAKE_FIND_ROOT_PATH "${_arm64_root}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(Python_EXECUTABLE "${CMAKE_CURRENT_LIST_DIR}/arm64-python.sh" CACHE FILEPATH "the arm64 root's interpreter")

# Debian's Python.h picks the architecture's pyconfig.h with
# #include <aarch64-linux-gnu/python3.X/pyconfig.h>, from the root's
# /usr/include. Searched after the compiler's own directories, so the C and
# C++ library headers still come from the cross compiler.
set(CMAKE_C_FLAGS_INIT "-idirafter ${_arm64_root}/usr/include")
set(CMAKE_CXX_FLAGS_INIT "-idirafter ${_arm64_root}/usr/include")
