# Writes OUTPUT, a C++ source holding each of FILES (paths inside DIR) as a
# byte array found by the file's base name, so the demonstration carries its
# credentials, and `vctool speed` its keys, wherever the binary goes. Run as
# a build step: the sources follow the files they hold.
#   cmake -DDIR=... -DFILES="a;b" -DOUTPUT=... -P embed.cmake
set(body "// Made by tools/embed.cmake from the committed test credentials.\n")
string(APPEND body "#include \"demo_credentials.h\"\n\nnamespace vctool {\nnamespace {\n\n")
set(table "")
set(index 0)
foreach(name IN LISTS FILES)
  file(READ "${DIR}/${name}" hex HEX)
  get_filename_component(base "${name}" NAME)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  # Sixteen bytes to a line keeps the generated source readable.
  string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n    " bytes "${bytes}")
  string(APPEND body "const unsigned char FILE_${index}[] = {\n    ${bytes}};\n\n")
  string(APPEND table "    {\"${base}\", FILE_${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()
string(APPEND body "}  // namespace\n\nconst EmbeddedFile DEMO_CREDENTIALS[] = {\n${table}};\n")
string(APPEND body "const unsigned DEMO_CREDENTIAL_COUNT = ${index};\n\n}  // namespace vctool\n")
file(WRITE "${OUTPUT}.new" "${body}")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
