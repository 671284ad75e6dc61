// Bulk building of tags: keys are extracted from every record the tag's FOR admits, sorted in
// tag order (equal keys by record number) in bounded memory - above the budget the sort writes
// sorted runs to temporary files beside the table and merges them - and streamed into an
// MdxTagWriter. The same sorted stream serves the verifier.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/Progress.h"
#include "engine/expr/Expr.h"
#include "engine/expr/Key.h"

namespace ari::engine {

class ContentDigest;
class DbfFile;
class MdxTagWriter;
class TemporaryFile;

// Memory the key sort of one tag may use before it spills to temporary files
// (default 256 MB). Process-wide; set before a build.
size_t IndexSortMemoryBudget();
void SetIndexSortMemoryBudget(size_t bytes);

// Told how many entries of a buffer being sorted are in their final place.
using SortedSink = std::function<void(size_t sorted)>;

// Sorts fixed-size entries (memcmp order) in bounded memory.
class KeySorter {
  public:
    // `spillBeside`: a path whose folder receives the temporary run files. Sorters spilling
    // beside the same path at the same time share `runNumbers`, so that their run files have
    // different names; a sorter alone numbers its runs from 0.
    KeySorter(size_t entrySize, size_t memoryBudget, std::string spillBeside,
              std::atomic<size_t>* runNumbers = nullptr);
    ~KeySorter();
    KeySorter(const KeySorter&) = delete;
    KeySorter& operator=(const KeySorter&) = delete;

    // Room for `entries` entries (a hint, clipped to the memory budget).
    void Reserve(size_t entries);
    void Add(const uint8_t* entry);
    // Entries added so far.
    uint64_t Count() const { return added_; }
    // Ends the input; then Next() yields the entries in order. With `progress`, the sort of the
    // entries still in memory reports (Sorting, done, Count()) on its way (engine/Progress.h),
    // neither its start nor its end.
    void Finish(const ProgressSink* progress = nullptr);
    // The next entry (valid until the following call), nullptr at the end.
    const uint8_t* Next();
    size_t RunCount() const { return runs_.size(); }

  private:
    struct Run;
    void SortBuffer(const SortedSink* sorted = nullptr);
    void Spill(const SortedSink* sorted = nullptr);
    void Refill(Run& run);
    bool RunAfter(size_t a, size_t b) const;  // heap order: true when run a's entry is larger
    size_t entrySize_;
    size_t stride_;       // bytes per entry in memory and in runs: entrySize_ rounded up to 8
    size_t capacity_;     // entries held in memory
    size_t count_ = 0;    // entries in data_
    uint64_t added_ = 0;  // entries added in all
    std::string spillBeside_;
    std::atomic<size_t>* runNumbers_;
    std::vector<uint8_t> data_;
    std::vector<std::unique_ptr<Run>> runs_;
    // Reading state
    bool finished_ = false;
    size_t memPos_ = 0;
    std::vector<size_t> heap_;  // run indices, a min-heap by current entry
    size_t mergeBufferBytes_ = 0;
    size_t windowEntries_ = 1;  // entries per run read window while merging
};

// What a tag needs for building or checking: key and FOR expressions parsed against the
// table, key type and length, flags.
struct TagKeyPlan {
    std::string name;
    Expression key;
    std::unique_ptr<Expression> filter;  // FOR clause, null when none
    KeyType keyType = KeyType::Character;
    size_t keyLength = 0;
    bool unique = false;
    bool descending = false;
    uint8_t language = 0;  // the index's language driver: the collation of character keys
    size_t SortLength() const { return SortableKeyLength(keyType, keyLength); }
};

// Parses a tag's key and FOR expressions against the table fields and fixes the key type and
// length; throws EDBEngineError for a bad expression, a logical or too long key, a FOR
// condition that is not logical, or character keys under a language driver whose order the
// engine does not know.
TagKeyPlan PlanTag(const std::string& name, const std::string& keyExpression,
                   const std::string& forExpression, bool unique, bool descending,
                   const std::vector<FieldDef>& fields, uint8_t language);

// A sort entry is the sortable key (sortLength bytes) followed by the record number
// big-endian, so that memcmp orders equal keys by record number.
inline void PutEntryRecno(uint8_t* entry, size_t sortLength, uint32_t recno) {
    uint8_t* p = entry + sortLength;
    p[0] = static_cast<uint8_t>(recno >> 24);
    p[1] = static_cast<uint8_t>(recno >> 16);
    p[2] = static_cast<uint8_t>(recno >> 8);
    p[3] = static_cast<uint8_t>(recno);
}
inline uint32_t EntryRecno(const uint8_t* entry, size_t sortLength) {
    const uint8_t* p = entry + sortLength;
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

// Reads every record of `table`, and returns the sorter holding (sortable key, record number
// big-endian) entries of the records the FOR admits, finished and ready for Next(). Reports
// the Reading loop over the records and then the Sorting of the keys.
// `runNumbers`: as for KeySorter. With `records`, every record read (deleted ones too) is fed
// into it in file order.
std::unique_ptr<KeySorter> SortTagKeys(const DbfFile& table, const TagKeyPlan& plan,
                                       size_t memoryBudget,
                                       std::atomic<size_t>* runNumbers = nullptr,
                                       ContentDigest* records = nullptr);

// The entries of a finished sorter that belong in the tag, in order: all of them, or for a
// unique tag only the first (lowest record number) of each key value.
class TagEntries {
  public:
    TagEntries(KeySorter& sorter, const TagKeyPlan& plan);
    // The next entry (valid until the following call), nullptr at the end.
    const uint8_t* Next();
    // The sorter's entries taken so far, those a unique tag leaves out included.
    uint64_t Taken() const { return taken_; }

  private:
    KeySorter& sorter_;
    uint64_t taken_ = 0;
    bool unique_;
    std::vector<uint8_t> lastKey_;  // sortable key of the entry handed out last
    bool haveLast_ = false;
};

// Streams a finished sorter into a tag writer: stored keys in order, only the first record of
// each key value for a unique tag. Reports the Writing loop over the sorter's entries.
void WriteSortedKeys(KeySorter& sorter, const TagKeyPlan& plan, MdxTagWriter& writer);

}  // namespace ari::engine
