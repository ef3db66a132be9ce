# 32-bit x86 Linux with the host's gcc in its -m32 mode (g++-multilib).
# Executables are linked statically so that they need no 32-bit loader or
# libraries at run time: a 64-bit kernel with its 32-bit support runs them
# directly, and qemu's user-mode emulation runs them anywhere else.
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
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32 -static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -m32)
if(DEFINED VC_I686_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${VC_I686_EMULATOR}")
else()
  find_program(VC_QEMU_I386 qemu-i386-static)
  if(VC_QEMU_I386)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${VC_QEMU_I386})
  endif()
endif()
