# 64-bit Windows: what wine64 can run here.
set(VC_MINGW_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
