// The raw-data resources compiled into the program: each a name and its bytes, generated at
// build time from a file (templates/EmbedFile.cmake), so that any compiler and any platform
// carries them without a resource system of its own.
#pragma once

#include <cstddef>
#include <vector>

namespace ari {

struct EmbeddedResource {
    const char* name;  // as the program asks for it, case ignored
    const unsigned char* bytes;
    std::size_t size;
};

// Every resource of the program, in no particular order.
const std::vector<EmbeddedResource>& EmbeddedResources();

}  // namespace ari
