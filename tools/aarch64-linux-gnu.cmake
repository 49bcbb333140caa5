# CMake toolchain file: build for 64-bit ARM Linux on an x86-64 Debian machine
# with Debian's cross compiler (g++-aarch64-linux-gnu), for the Python and
# NumPy of a Debian arm64 root (tools/arm64-root.sh) named by the
# environment variable DITHERING_ARM64_ROOT. tools/arm64-build.sh uses it.
#
# The compiler keeps its own C and C++ libraries (the cross packages'
# glibc is older than the root's, so what it links runs there); only the
# Python and NumPy headers come from the root. CMake asks the root's own
# interpreter, run under qemu-user emulation, for its version, extension
# suffix and header directories, exactly as on a native build; it derives
# its prefix from where it lies, so its answers are paths on this machine.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(_arm64_root "$ENV{DITHERING_ARM64_ROOT}")
if(_arm64_root STREQUAL "")
  message(FATAL_ERROR "set DITHERING_ARM64_ROOT to the arm64 root (tools/arm64-root.sh prints it)")
endif()

# The root's interpreter is an aarch64 executable: the kernel hands it to
# qemu (binfmt_misc), and QEMU_LD_PREFIX makes qemu look for its loader,
# libraries and every file it opens under the root first, as if chrooted.
# CMake passes its environment on to the interpreter it runs.
set(ENV{QEMU_LD_PREFIX} "${_arm64_root}")
set(Python_EXECUTABLE "${_arm64_root}/usr/bin/python3" CACHE FILEPATH "the arm64 root's interpreter")

# Debian's Python.h picks the architecture's pyconfig.h with
# #include <aarch64-linux-gnu/python3.X/pyconfig.h>, from the root's
# /usr/include. Searched after the compiler's own directories, so the C and
# C++ library headers still come from the cross compiler.
set(CMAKE_C_FLAGS_INIT "-idirafter ${_arm64_root}/usr/include")
set(CMAKE_CXX_FLAGS_INIT "-idirafter ${_arm64_root}/usr/include")
