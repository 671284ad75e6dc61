// Reading a production index (.mdx): the validated file header, the tag list with each tag's
// definition, and an in-order walk of a tag's keys that checks the tree's structure as it goes.
// Every header and tag header is checked before it is trusted; damage raises EDBEngineError
// naming the file, the tag and the check that failed, never a crash or an endless walk.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "engine/expr/Key.h"
#include "platform/Env.h"

namespace ari::engine {

struct MdxHeader {
    uint8_t version = 0;
    std::string baseName;
    uint16_t blockPages = 0;
    uint16_t blockBytes = 0;
    uint16_t tagsInUse = 0;
    uint8_t language = 0;
    uint32_t totalPages = 0;
    uint32_t freePage = 0;
};

struct MdxTag {
    int slot = 0;  // 1-based position in the tag table
    std::string name;
    uint32_t headerPage = 0;
    KeyType keyType = KeyType::Character;
    uint16_t keyLength = 0;
    uint16_t maxKeys = 0;
    uint16_t itemLength = 0;
    uint32_t root = 0;
    uint8_t keyFormat = 0;
    bool unique = false;
    bool descending = false;
    std::string expression;
    std::string forExpression;  // "" when the tag has no FOR clause
};

// One leaf entry met by a walk.
using MdxKeyVisitor = std::function<void(const uint8_t* key, uint32_t recno)>;

class MdxFile {
  public:
    // Opens and validates `path`. Throws EDBEngineError (mdx::kStatusIndexFault) when the file
    // cannot be read or a header, tag slot or tag header fails a check.
    explicit MdxFile(const std::string& path);
    ~MdxFile();
    MdxFile(const MdxFile&) = delete;
    MdxFile& operator=(const MdxFile&) = delete;

    const std::string& Path() const { return path_; }
    const MdxHeader& Header() const { return header_; }
    const std::vector<MdxTag>& Tags() const { return tags_; }
    uint64_t FileSize() const { return fileSize_; }
    // The raw first 2048 bytes (header and tag table).
    const std::vector<uint8_t>& HeaderArea() const { return headerArea_; }

    // Visits the tag's leaf entries in stored order. Checks on the way: every page inside the
    // file and past the tag table, no page met twice (in this walk or, when `seen` is given, in
    // earlier walks sharing it), key counts within the node's capacity, all leaves at one
    // depth, interior keys equal to the last key of their subtree. Throws EDBEngineError
    // naming the tag and the page on the first fault.
    void Walk(const MdxTag& tag, const MdxKeyVisitor& visit,
              std::vector<bool>* seen = nullptr) const;

    // Pages of the free list, checked to be inside the file and acyclic.
    std::vector<uint32_t> FreePages() const;

    // Reads one block at `page` into `out` (blockBytes); throws on a short read.
    void ReadBlock(uint32_t page, std::vector<uint8_t>& out) const;

  private:
    [[noreturn]] void Fault(const std::string& what) const;
    std::string path_;
    // Reads `size` bytes at `offset`; false on a read error or a short read.
    bool ReadFully(uint64_t offset, void* data, size_t size) const;

    FileHandle file_ = kNoFile;
    uint64_t fileSize_ = 0;
    MdxHeader header_;
    std::vector<MdxTag> tags_;
    std::vector<uint8_t> headerArea_;
};

}  // namespace ari::engine
