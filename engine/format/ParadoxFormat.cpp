#include "engine/format/ParadoxFormat.h"

#include "engine/EngineStatus.h"

namespace ari::engine {

namespace {
[[noreturn]] void Corrupt(const std::string& path, const std::string& what) {
    RaiseTableError(kStatusCorruptHeader, path, {what});
}
}  // namespace

ParadoxHeader ParseParadoxHeader(std::string_view bytes, uint64_t fileSize,
                                 const std::string& path) {
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    if (fileSize == 0)
        Corrupt(path, "The file is empty.");
    if (bytes.size() < 0x58)
        Corrupt(path, "The file is shorter than a Paradox header.");
    ParadoxHeader h;
    h.recordSize = GetLE16(p + px::kRecordSize);
    h.headerSize = GetLE16(p + px::kHeaderSize);
    h.fileType = p[px::kFileType];
    h.blockSize = static_cast<uint32_t>(p[px::kBlockSizeCode]) * 1024u;
    h.recordCount = GetLE32(p + px::kRecordCount);
    h.blocksInUse = GetLE16(p + px::kBlocksInUse);
    h.blocksInFile = GetLE16(p + px::kBlocksInFile);
    h.firstBlock = GetLE16(p + px::kFirstBlock);
    h.lastBlock = GetLE16(p + px::kLastBlock);
    h.fieldCount = GetLE16(p + px::kFieldCount);
    h.keyFieldCount = GetLE16(p + px::kKeyFieldCount);
    h.version = p[px::kVersion];
    if (h.fileType != px::kFileTypeKeyed && h.fileType != px::kFileTypeUnkeyed)
        Corrupt(path, "File type " + std::to_string(h.fileType) + " is not a Paradox table.");
    if (h.blockSize == 0 || h.blockSize > 32u * 1024u)
        Corrupt(path, "Block size code " + std::to_string(p[px::kBlockSizeCode]) + " is invalid.");
    if (h.headerSize < 0x58 || h.headerSize > fileSize)
        Corrupt(path, "Header size " + std::to_string(h.headerSize) + " is invalid.");
    if (h.recordSize == 0 || h.recordSize + px::kBlockHeaderSize > h.blockSize)
        Corrupt(path, "Record size " + std::to_string(h.recordSize) + " does not fit a block.");
    if (h.fieldCount == 0 || h.keyFieldCount > h.fieldCount)
        Corrupt(path, "Field count " + std::to_string(h.fieldCount) + " / key fields " +
                          std::to_string(h.keyFieldCount) + " are invalid.");
    if (h.version < 3 || h.version > 0x0C)
        RaiseTableError(kStatusUnsupportedFormat, path,
                        {"Paradox version " + std::to_string(h.version) + " is not supported."});
    if (static_cast<uint64_t>(h.headerSize) + static_cast<uint64_t>(h.blocksInFile) * h.blockSize >
        fileSize)
        Corrupt(path,
                "The file is shorter than its " + std::to_string(h.blocksInFile) + " blocks.");
    return h;
}

}  // namespace ari::engine
