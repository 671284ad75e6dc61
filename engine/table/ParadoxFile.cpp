#include "engine/table/ParadoxFile.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#include "engine/EngineErrors.h"
#include "engine/EngineStatus.h"
#include "engine/table/FileOps.h"
#include "engine/table/TableLock.h"
#include "platform/FileErrors.h"

namespace ari::engine {

uint32_t WalkParadoxChain(FileHandle fd, const ParadoxHeader& h, const std::string& path,
                          const std::function<void(const uint8_t*, uint32_t)>& each) {
    // A block seen twice, out of range, cut off, or claiming more records than fit is damage.
    const uint32_t bs = h.blockSize;
    const uint32_t perBlock = (bs - px::kBlockHeaderSize) / h.recordSize;
    std::vector<uint8_t> block(bs);
    std::vector<bool> seen(h.blocksInFile + 1u, false);
    uint32_t records = 0;
    for (uint16_t b = h.firstBlock; b != 0;) {
        if (b > h.blocksInFile || seen[b])
            RaiseTableError(
                kStatusCorruptData, path,
                {"The chain of data blocks is broken at block " + std::to_string(b) + "."});
        seen[b] = true;
        const uint64_t off = h.headerSize + static_cast<uint64_t>(b - 1) * bs;
        if (ReadAt(fd, off, block.data(), bs, path) < bs)
            RaiseTableError(kStatusCorruptData, path,
                            {"Data block " + std::to_string(b) + " is cut off."});
        const int16_t add = static_cast<int16_t>(GetLE16(block.data() + 4));
        if (add < -static_cast<int32_t>(h.recordSize) || add % h.recordSize != 0 ||
            static_cast<uint32_t>(add / h.recordSize + 1) > perBlock)
            RaiseTableError(kStatusCorruptData, path,
                            {"Data block " + std::to_string(b) + " has an invalid record count."});
        const uint32_t n = static_cast<uint32_t>(add / h.recordSize + 1);
        each(block.data() + px::kBlockHeaderSize, n);
        records += n;
        b = GetLE16(block.data());
    }
    return records;
}

ParadoxSource OpenParadoxSource(const std::string& path) {
    ParadoxSource source{ScopedFd(OpenTableFile(path, kOpenRead)), 0, {}};
    FileInfo st;
    if (source.fd.Get() < 0 || Env::Default()->Info(source.fd.Get(), &st) != 0)
        RaiseTableError(kStatusReadError, path, {FileErrorText(errno) + "."});
    source.size = st.size;
    source.head.assign(std::min<uint64_t>(source.size, 0xFFFF), '\0');
    source.head.resize(ReadAt(source.fd.Get(), 0, source.head.data(), source.head.size(), path));
    return source;
}

ParadoxHeader ReadParadoxHeader(const std::string& path) {
    const ParadoxSource source = OpenParadoxSource(path);
    return ParseParadoxHeader(source.head, source.size, path);
}

std::string CheckParadoxTable(const std::string& path) {
    const ParadoxSource source = OpenParadoxSource(path);
    try {
        const ParadoxHeader h = ParseParadoxHeader(source.head, source.size, path);
        const uint32_t records =
            WalkParadoxChain(source.fd.Get(), h, path, [](const uint8_t*, uint32_t) {});
        if (records != h.recordCount)
            return "The header counts " + std::to_string(h.recordCount) +
                   " records but the data blocks hold " + std::to_string(records) + ".";
    } catch (const EDBEngineError& e) {
        return e.Message();
    }
    return {};
}

}  // namespace ari::engine
