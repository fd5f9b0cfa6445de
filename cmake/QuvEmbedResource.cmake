# cmake -DINPUT=<file> -DOUTPUT=<source> -DTYPE=<type> -DNAME=<name> -DSYMBOL=<id> -P QuvEmbedResource.cmake
# Writes a C++ source that holds the bytes of INPUT and places them as the
# program resource TYPE/NAME in the program's resource section.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
string(REGEX REPLACE "(('\\\\x[0-9a-f][0-9a-f]',){16})" "\\1\n  " bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
"// Generated from ${INPUT}; do not edit.\n"
"#include \"platform/Resources.h\"\n\n"
"namespace {\n\n"
"const char k${SYMBOL}[${size} + 1] = {\n  ${bytes}0};\n\n"
"QUV_EMBED_RESOURCE(kEntry${SYMBOL}, \"${TYPE}\", \"${NAME}\", k${SYMBOL}, ${size})\n\n"
"}  // namespace\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
