# 32-bit x86 Linux with the host's gcc in its -m32 mode (g++-multilib).
#
# Two ways to link, chosen by VC_I686_STATIC:
#  - dynamically (the default), against Debian's i386 packages (libc6:i386,
#    libssl-dev:i386, libgtest-dev:i386, libbenchmark-dev:i386), so that the
#    32-bit build runs everything the 64-bit one does: the OpenSSL
#    differential tests, the benchmarks, the host program loading the shared
#    library, and the X11 window through the i386 libX11;
#  - statically (ON), for a machine where the i386 packages cannot be had:
#    the executables then need no 32-bit loader or library at run time, and
#    GoogleTest is built from its sources with the rest.
#
# VC_I686_EMULATOR is what CTest puts in front of every test program: empty
# to run them directly, which scripts/test-i686.sh chooses after trying a
# small 32-bit program on this kernel. Left unset, the tests go through
# qemu-i386-static where it is installed, which needs nothing from the
# kernel, and run directly where it is not.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -m32)
if(VC_I686_STATIC)
  set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32 -static")
else()
  set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
  # Debian keeps the i386 libraries, their CMake packages and pkg-config
  # files under the multiarch directory; the amd64 ones beside them must
  # never be found instead (FindOpenSSL asks pkg-config first).
  set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
  set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig)
  set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu/cmake)
endif()
if(DEFINED VC_I686_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${VC_I686_EMULATOR}")
else()
  find_program(VC_QEMU_I386 qemu-i386-static)
  if(VC_QEMU_I386)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${VC_QEMU_I386})
  endif()
endif()
