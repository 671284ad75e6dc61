// Reading the memo file (.dbt) of a dBASE table, dBASE III and dBASE IV layouts, by block
// number. Every pointer is checked against the file before anything is read, so a damaged
// pointer gives a clear error and never a huge allocation.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Env.h"

#include "engine/format/DbfFormat.h"

namespace ari::engine {

namespace dbt {
inline constexpr uint32_t kBlockSize3 = 512;   // dBASE III: fixed
inline constexpr size_t kNextFreeBlock = 0;    // uint32, both layouts
inline constexpr size_t kBlockSize4 = 20;      // dBASE IV header: uint16 block size in bytes
inline constexpr size_t kMemoHeaderSize4 = 8;  // FF FF 08 00 + uint32 length incl. these 8
inline constexpr uint8_t kMemoSignature4[4] = {0xFF, 0xFF, 0x08, 0x00};
inline constexpr uint8_t kTerminator3 = 0x1A;  // text ends with 1A 1A
}  // namespace dbt

class MemoFile {
  public:
    // Opens (read-only) and validates the header. `layout` is DBase3 or DBase4. Throws
    // EDBEngineError kStatusMemoError naming the file and the failed check.
    static std::unique_ptr<MemoFile> Open(const std::string& path, MemoLayout layout);
    // Same over an already open descriptor (not owned); used by the fuzz target.
    static std::unique_ptr<MemoFile> FromDescriptor(FileHandle fd, const std::string& path,
                                                    MemoLayout layout);
    ~MemoFile();
    MemoFile(const MemoFile&) = delete;
    MemoFile& operator=(const MemoFile&) = delete;

    const std::string& Path() const { return path_; }
    MemoLayout Layout() const { return layout_; }
    uint32_t BlockSize() const { return blockSize_; }
    uint32_t NextFreeBlock() const { return nextFree_; }
    uint64_t FileSize() const { return size_; }

    // The memo stored at `block` (> 0): dBASE III text up to its 1A 1A terminator (or the end
    // of the file); dBASE IV the data after the 8-byte block header, of the stored length.
    // Throws kStatusMemoError when the block lies past the end of the file, is not the start of
    // a memo, or its length runs past the end of the file.
    std::string Read(uint32_t block) const;

  private:
    MemoFile() = default;
    void Init(FileHandle fd, bool owned, const std::string& path, MemoLayout layout);
    FileHandle fd_ = kNoFile;
    bool owned_ = false;
    std::string path_;
    MemoLayout layout_ = MemoLayout::None;
    uint32_t blockSize_ = dbt::kBlockSize3;
    uint32_t nextFree_ = 0;
    uint64_t size_ = 0;
};

}  // namespace ari::engine
