# CMake toolchain file: build on this x86-64 Debian machine for the Python
# and NumPy of one of the cached Debian roots, the arm64 one (64-bit ARM,
# tools/arm64-root.sh) or the sid one (x86-64, tools/sid-root.sh), named by
# three environment variables (tools/root-wheel.sh sets them):
#   DITHERING_ROOT          where the root lies on this machine
#   DITHERING_ROOT_ARCH     its processor, aarch64 or x86_64
#   DITHERING_ROOT_PYTHON   a program that runs the root's python3 inside the
#                           root (tools/arm64-python.sh, tools/sid-python.sh)
#
# The compiler is Debian's ARCH-linux-gnu-g++ (for aarch64 the cross
# compiler, g++-aarch64-linux-gnu) unless CMAKE_CXX_COMPILER is given on the
# command line (tools/wheels.sh gives zig's clang, aimed at glibc 2.17). It
# keeps its own C and C++ libraries (the cross packages' glibc is older than
# the root's, so what it links runs there); only the Python and NumPy headers
# come from the root. CMake asks the root's own interpreter for its version,
# extension suffix, headers and NumPy's headers, as on a native build (with
# the two settings tools/root-wheel.sh adds); its answers are paths inside
# the root, which CMAKE_FIND_ROOT_PATH maps to where the root lies on this
# machine.

set(_root "$ENV{DITHERING_ROOT}")
set(_root_arch "$ENV{DITHERING_ROOT_ARCH}")
set(_root_python "$ENV{DITHERING_ROOT_PYTHON}")
if(_root STREQUAL "" OR _root_arch STREQUAL "" OR _root_python STREQUAL "")
  message(FATAL_ERROR "set DITHERING_ROOT, DITHERING_ROOT_ARCH and DITHERING_ROOT_PYTHON "
                      "(tools/root-wheel.sh does)")
endif()

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR "${_root_arch}")
if(NOT CMAKE_CXX_COMPILER)
  set(CMAKE_C_COMPILER "${_root_arch}-linux-gnu-gcc")
  set(CMAKE_CXX_COMPILER "${_root_arch}-linux-gnu-g++")
endif()

# Headers and libraries from the root; programs (ninja, this machine's
# tools) from this machine.
set(CMAKE_FIND_ROOT_PATH "${_root}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(Python_EXECUTABLE "${_root_python}" CACHE FILEPATH "the root's interpreter")

# Debian's Python.h picks the architecture's pyconfig.h with
# #include <ARCH-linux-gnu/python3.X/pyconfig.h>, from the root's
# /usr/include. Searched after the compiler's own directories, so the C and
# C++ library headers still come from the compiler.
set(CMAKE_C_FLAGS_INIT "-idirafter ${_root}/usr/include")
set(CMAKE_CXX_FLAGS_INIT "-idirafter ${_root}/usr/include")
