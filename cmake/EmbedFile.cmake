# Writes the bytes of IN into OUT as a C++ array named NAME (see Embed.cmake).
file(READ ${IN} hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR length "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
string(REGEX REPLACE "(('\\\\x[0-9a-f][0-9a-f]',){16})" "\\1\n    " bytes "${bytes}")
file(WRITE ${OUT} "// Generated from ${IN}; do not edit.\n"
                  "extern const char ${NAME}[];\n"
                  "extern const unsigned long ${NAME}Length;\n"
                  "const char ${NAME}[] = {\n    ${bytes}'\\0'};\n"
                  "const unsigned long ${NAME}Length = ${length};\n")
