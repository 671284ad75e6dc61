// The index files this process built from a table's records, remembered with a digest of the
// records they were built from and a digest of their own bytes, so that a later pack of the same
// table can write its new index from the old one's keys (dropping the removed records,
// renumbering the rest) instead of evaluating and sorting every key again. The pack trusts a
// remembered index only when both digests still match what it reads under sole use: any change
// to the records, the fields or the index file since the build (by another program, in place or
// by replacing the file) sends it back to a full build.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/Env.h"

namespace ari::engine {

class DbfFile;

// A 128-bit digest of a stream of bytes: the same whatever pieces the stream is fed in. Its
// seed is drawn once per process, so a digest means nothing outside the process that made it.
class ContentDigest {
  public:
    using Value = std::array<uint64_t, 2>;
    ContentDigest();
    void Add(const void* data, size_t size);
    Value Result() const;

  private:
    void Stripe(const uint8_t* p);
    uint64_t lanes_[4];
    uint8_t pending_[32];
    size_t pendingBytes_ = 0;
    uint64_t total_ = 0;
};

// Feeds what a table's keys are computed from, apart from the records themselves, into `digest`:
// record count, header and record lengths, language driver, every field's name, type, length,
// decimals and offset. The records follow it in the stream, all of them (deleted ones too), in
// file order.
void AddTableShape(ContentDigest& digest, const DbfFile& table);
// The same with `languageDriver` in place of the table's: the shape the table has once its
// header names that language driver (an index built for a header about to change).
void AddTableShape(ContentDigest& digest, const DbfFile& table, uint8_t languageDriver);

// The digest of the open file's bytes from 0 to `size`. Throws EInOutError naming `path`.
ContentDigest::Value DigestOfFile(FileHandle file, uint64_t size, const std::string& path);

struct BuiltIndex {
    FileId table;                      // the table file it was built from
    FileId index;                      // the index file as it was put in place
    uint64_t indexBytes = 0;           // its size
    int64_t indexModified = 0;         // its modification time: a file that took a freed
                                       // identity over (same device and node) has another
    ContentDigest::Value tableDigest;  // AddTableShape, then every record
    ContentDigest::Value indexDigest;  // DigestOfFile over its bytes
};

// What to remember of the complete, flushed index file open as `index` (named `indexPath` in
// messages), every tag of which was just built from the records of the table at `tablePath`,
// fed into `records` (AddTableShape, then every record). Empty when the files cannot be told
// apart from others (no identity to be had): nothing is then remembered. Throws EInOutError
// when the index file cannot be read.
std::optional<BuiltIndex> DescribeBuiltIndex(const std::string& tablePath, FileHandle index,
                                             const std::string& indexPath,
                                             const ContentDigest& records);
// Remembers an index file just put in place (DescribeBuiltIndex, taken before the rename).
// Keeps the latest few thousand.
void RememberBuiltIndex(const BuiltIndex& built);
// The remembered build of the index file `index`, if any.
std::optional<BuiltIndex> FindBuiltIndex(const FileId& index);

}  // namespace ari::engine
