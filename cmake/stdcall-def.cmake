# 32-bit Windows: the operations are __stdcall, whose symbols carry the bytes
# of their arguments (vcInitialize@20). The DLL exports by ordinal only, so
# the names never reach it, but its import library holds them: with plain
# names there, a host compiled against veilcastnet.h could not link. This
# writes the .def with decorated names; the linker fails on any entry whose
# argument bytes do not match the function, so the table cannot drift.
set(VC_STDCALL_ARGUMENT_BYTES
  vcTerminate=0 vcDestroyConnection=4 vcDestroyContext=4 vcInitialize=20
  vcCreateConnection=16 vcOpenRecord=20 vcCreateContext=32 vcHandshake=20
  vcSealRecord=20 vcErrorText=4 vcInfoText=0)
set(VC_PLAIN_DEF ${CMAKE_CURRENT_SOURCE_DIR}/src/api/veilcastnet32.def)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${VC_PLAIN_DEF})
file(READ ${VC_PLAIN_DEF} VC_DEF_TEXT)
foreach(entry IN LISTS VC_STDCALL_ARGUMENT_BYTES)
  string(REPLACE "=" ";" entry ${entry})
  list(GET entry 0 name)
  list(GET entry 1 bytes)
  string(REGEX REPLACE "([ \t])${name}([ \t])" "\\1${name}@${bytes}\\2" VC_DEF_TEXT
    "${VC_DEF_TEXT}")
endforeach()
set(VC_DEF_FILE ${PROJECT_BINARY_DIR}/veilcastnet32.def)
file(WRITE ${VC_DEF_FILE}.new "${VC_DEF_TEXT}")
file(COPY_FILE ${VC_DEF_FILE}.new ${VC_DEF_FILE} ONLY_IF_DIFFERENT)
file(REMOVE ${VC_DEF_FILE}.new)
