# 32-bit Windows: the shipped DLL.
set(VC_MINGW_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
