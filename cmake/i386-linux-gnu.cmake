# Cross build for 32-bit x86 with Debian's i686-linux-gnu toolchain
# (crossbuild-essential-i386) against the multiarch :i386 libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
# The programs the build runs are the host's; libraries and headers are i386.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# The i386 programs run natively where the kernel runs 32-bit x86 code; where
# it does not, pass -DCMAKE_CROSSCOMPILING_EMULATOR=qemu-i386 and the tests run
# under user-mode emulation.
