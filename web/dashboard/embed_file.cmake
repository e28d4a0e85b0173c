# Turns one file into a C++ source holding its bytes, so that a page ships
# inside the program. Called at build time:
#   cmake -DINPUT=page.html -DOUTPUT=page.cpp -DSYMBOL=name -DNAMESPACE=ns -P embed_file.cmake
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
# Sixteen bytes a line, each byte as 0xNN.
string(REGEX REPLACE "([0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f])" "\\1\n" hex "${hex}")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE "${OUTPUT}.tmp"
"// Generated at build time from ${INPUT}; do not edit.
#include <cstddef>

namespace ${NAMESPACE} {

// One extra zero byte so that an empty file still makes a valid array.
extern const unsigned char ${SYMBOL}[] = {
${bytes}0x00};
extern const std::size_t ${SYMBOL}Size = ${size};

}  // namespace ${NAMESPACE}
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
