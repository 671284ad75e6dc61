// Writing production index files: the file header and tag table, and one tag at a time as a
// bulk-built tree (full leaves in key order, then each interior level, root last; each tag's
// header block directly followed by its nodes), the way the files of the legacy tools look.
// The writer only appends blocks after the pages it is given; it never reads the file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/expr/Key.h"
#include "platform/Env.h"

namespace ari::engine {

struct MdxTagSpec {
    std::string name;           // upper case, 1..10 characters
    std::string expression;     // key expression text as stored
    std::string forExpression;  // "" when none
    KeyType keyType = KeyType::Character;
    uint16_t keyLength = 0;
    bool unique = false;
    bool descending = false;
    bool plainField = false;  // the expression is one field name
};

class MdxTagWriter;

// Builds the 2048-byte header area and appends tags to a file open for writing at `fd`.
// Use: construct (new file or from an existing file's header area), AddTag() per tag with its
// keys in tag order, Finish() to write the header area. The caller flushes and renames.
class MdxFileWriter {
  public:
    // A new, empty index file: base name (upper-cased, no extension), block size in pages
    // (kMinBlockPages to kMaxBlockPages), language driver id of the table.
    MdxFileWriter(FileHandle fd, std::string path, const std::string& baseName, uint16_t blockPages,
                  uint8_t language);
    // Appending to a copy of an existing file whose first 2048 bytes are `headerArea` and whose
    // pages up to its total stay as they are.
    MdxFileWriter(FileHandle fd, std::string path, const std::vector<uint8_t>& headerArea);
    ~MdxFileWriter();

    int TagCount() const;
    uint8_t Language() const;

    // Starts a tag in the next free slot. REQUIRES: fewer than 47 tags; no tag open.
    MdxTagWriter& BeginTag(const MdxTagSpec& spec);
    // Completes the open tag: its remaining nodes and its header block, and its slot.
    void EndTag();
    // Writes the header area (counts, total pages, dates, the name tree of the tag table).
    void Finish();

  private:
    friend class MdxTagWriter;
    void RebuildNameTree();
    // Throws unless the block size is one the format can hold.
    void CheckBlockPages() const;
    FileHandle fd_;
    std::string path_;
    std::vector<uint8_t> head_;
    uint16_t blockPages_ = 2;
    uint32_t nextPage_ = 4;
    std::unique_ptr<MdxTagWriter> open_;
    uint8_t today_[3] = {0, 0, 0};
};

// One tag being written: takes its keys in tag order (stored bytes and record number).
class MdxTagWriter {
  public:
    void Add(const uint8_t* key, uint32_t recno);

  private:
    friend class MdxFileWriter;
    MdxTagWriter(MdxFileWriter& file, const MdxTagSpec& spec, int slot, uint32_t headerPage);
    struct Child {
        uint32_t page;
        std::vector<uint8_t> lastKey;
    };
    struct Level {
        std::vector<Child> current;  // children of the node being filled
        std::vector<Child> pending;  // a full node held back until the next one has two children
        bool any = false;            // a node of this level has been written
    };
    void FlushLeaf();
    void PushChild(size_t level, Child child);
    void WriteInterior(size_t level, const std::vector<Child>& children);
    uint32_t WriteNode(const std::vector<uint8_t>& node);
    void Flush();
    // Completes the tree; returns the root page.
    uint32_t Finish();

    MdxFileWriter& file_;
    MdxTagSpec spec_;
    int slot_;
    uint32_t headerPage_;
    size_t blockBytes_;
    size_t itemLength_;
    size_t maxKeys_;
    std::vector<uint8_t> leaf_;
    size_t leafCount_ = 0;
    std::vector<Level> levels_;  // interior levels, level 0 = parents of leaves
    uint32_t nodes_ = 0;
    uint32_t lastWritten_ = 0;
    // Output buffer of consecutive blocks starting at bufferPage_.
    std::vector<uint8_t> out_;
    uint32_t bufferPage_ = 0;
};

// The name tree of the tag table: for names in slot order, the (left, right, parent) slot
// numbers of a binary search tree built by inserting them in that order (tag 1 the root,
// byte-wise comparison of the NUL-padded names).
struct NameTreeLinks {
    uint8_t left = 0, right = 0, parent = 0;
};
std::vector<NameTreeLinks> ComputeNameTree(const std::vector<std::string>& names);

// The nodes (leaves and interior nodes, not the tag's header block) that MdxTagWriter writes for
// a tag of `keys` keys with at most `maxKeys` keys a node: the same filling rules, counted
// instead of written, so that the size of an index file can be known before it is built.
// REQUIRES: maxKeys >= 2.
uint64_t TagNodeCount(uint64_t keys, size_t maxKeys);

// One tag of an index file to be written: its key count and key length.
struct TagShape {
    uint64_t keys = 0;
    size_t keyLength = 0;
};

// The size in bytes of the index file that MdxFileWriter writes (new, not appended) with blocks
// of `blockPages` pages and these tags: the header area, then per tag its header block and its
// nodes.
uint64_t IndexFileBytes(uint16_t blockPages, const std::vector<TagShape>& tags);

}  // namespace ari::engine
