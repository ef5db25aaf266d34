# cmake -DINPUT=file -DOUTPUT=file.cpp -DNAME=symbol -DNAMESPACE=ns -P embed.cmake
# Writes a C++ source holding the bytes of INPUT as an array.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" length)
math(EXPR size "${length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE "${OUTPUT}" "// Generated from ${INPUT}; do not edit.\n#include <cstddef>\n#include <cstdint>\n\nnamespace ${NAMESPACE} {\nextern const uint8_t ${NAME}[] = {${bytes}};\nextern const size_t ${NAME}Size = ${size};\n}\n")
