# Writes a C++ source that carries the bytes of INPUT as the raw-data resource NAME:
#   cmake -DINPUT=file -DNAME=MDX -DOUTPUT=source.cpp -P EmbedFile.cmake
# The source defines ari::EmbeddedResources() with that one resource.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
# Sixteen bytes a line: "0xAB," each.
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n    " bytes "${bytes}")
if(size EQUAL 0)
  set(bytes "0")
endif()
file(WRITE "${OUTPUT}.tmp"
"// Generated from ${NAME} at build time; not to be edited.
#include \"templates/EmbeddedResources.h\"

namespace {
const unsigned char kBytes[] = {
    ${bytes}
};
}  // namespace

namespace ari {

const std::vector<EmbeddedResource>& EmbeddedResources() {
    static const std::vector<EmbeddedResource> resources = {{\"${NAME}\", kBytes, ${size}u}};
    return resources;
}

}  // namespace ari
")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
