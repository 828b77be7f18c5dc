# Run as: cmake -DINPUT=<file> -DOUTPUT=<cpp> -DNAME=<function> -P EmbedFile.cmake
# Writes a source defining Carvelin::Resources::<NAME>() over the file's bytes.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hexlen)
math(EXPR size "${hexlen} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
string(REGEX REPLACE "(('\\\\x[0-9a-f][0-9a-f]',){32})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}" "// Generated from ${INPUT}; do not edit.\n#include \"Carvelin.Resources.h\"\n\nnamespace Carvelin::Resources {\n\nstd::string_view ${NAME}() {\n  static const char Data[${size} + 1] = {\n${bytes}0};\n  return {Data, ${size}};\n}\n\n}  // namespace Carvelin::Resources\n")
