// Fuzz entry over the production index reader: the header and tag checks, every tag's walk
// with its structure checks, and the free list. Every input must end in a read index or an
// EDBEngineError: never a crash, a hang or a huge allocation. The input is the index file.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/EngineErrors.h"
#include "engine/index/MdxFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace ari::engine;
    // The reader opens a path: an in-memory file through /proc/self/fd.
    const int fd = ::memfd_create("mdxfuzz", MFD_CLOEXEC);
    if (fd < 0)
        return 0;
    if (size > 0 && ::write(fd, data, size) != static_cast<ssize_t>(size)) {
        ::close(fd);
        return 0;
    }
    try {
        const MdxFile index("/proc/self/fd/" + std::to_string(fd));
        std::vector<bool> seen;
        uint64_t keys = 0;
        for (const auto& tag : index.Tags()) {
            try {
                index.Walk(
                    tag, [&](const uint8_t* key, uint32_t) { keys += key[0]; }, &seen);
            } catch (const EDBEngineError&) {
            }
        }
        index.FreePages();
    } catch (const EDBEngineError&) {
    }
    ::close(fd);
    return 0;
}
