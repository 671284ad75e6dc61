// A table's production index as a whole: writing a complete index file from a table's records
// and a list of tag definitions, appending one tag to a copy of an existing file, and the
// verifier that checks an index file's structure and its content against the records.
// The callers (TTable::AddIndex, the pack's rebuild, the tools) hold the table's files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/index/MdxFile.h"

namespace ari::engine {

class ContentDigest;
class DbfFile;
class KeptRecords;

struct IndexTagDef {
    std::string name;
    std::string expression;
    std::string forExpression;
    bool unique = false;
    bool descending = false;
};

// The definitions of an open index file's tags, in tag-table order.
std::vector<IndexTagDef> TagDefinitions(const MdxFile& index);

// Checks a tag name (1..10 letters, digits or '_', starting with a letter) and returns it upper
// case; throws EDBEngineError naming it otherwise.
std::string ValidTagName(const std::string& name);

// Writes a complete index file to `fd` (empty, open for writing; `path` names it in messages):
// every tag bulk-built from `table`'s records. Throws EDBEngineError on a bad definition or a
// failed write. The caller flushes and renames.
// With `records`, the first tag's scan feeds every record into it (SortTagKeys).
void WriteIndexFile(FileHandle fd, const std::string& path, const DbfFile& table,
                    const std::string& baseName, uint16_t blockPages, uint8_t language,
                    const std::vector<IndexTagDef>& tags, ContentDigest* records = nullptr);

// The size in bytes of the index file WriteIndexFile would write for `tags` over `table`'s
// records, found without writing it: each tag's keys are counted (every record its FOR admits;
// one per key value for a unique tag) and the writer's tree over that many keys is counted
// (IndexFileBytes, MdxWriter.h). With `keptOnly`, over the records a pack keeps (every record
// not marked deleted, numbered as the packed table numbers them): the index the pack's rebuild
// writes. The records are read once for all tags. Throws EDBEngineError where WriteIndexFile
// would refuse (more than 47 tags, a block size it cannot write, a definition PlanTag refuses).
// A unique tag's keys are sorted to be counted (KeySorter within IndexSortMemoryBudget), spilling
// above it beside `spillBeside`, a path whose folder takes the sort's temporary files.
uint64_t IndexBytesOfBuild(const DbfFile& table, uint16_t blockPages, uint8_t language,
                           const std::vector<IndexTagDef>& tags, bool keptOnly,
                           const std::string& spillBeside);

// True when every tag of `index` would, after a pack of `table` (the packed file: same fields),
// hold the same keys for the kept records as before: no unique tag, no key or FOR expression
// using RECNO() or DELETED(), each key's type and length what its expression gives.
bool KeysCarryOver(const MdxFile& index, const DbfFile& table);

// Writes a complete index file to `fd` like WriteIndexFile with `old`'s header values and tag
// definitions, taking each tag's entries from `old`'s tag in order: those of records `kept`
// keeps, under their new numbers. REQUIRES: KeysCarryOver(old, table), and `old` built from the
// records of the table `table` was packed from. The caller flushes and renames.
void WriteIndexFileFromKeys(FileHandle fd, const std::string& path, const DbfFile& table,
                            const MdxFile& old, const KeptRecords& kept);

// Copies `index`'s file into `fd` (empty, open for writing) and appends `tags`, in order, each
// built from `table`'s records; the old tags keep their blocks and their slots. REQUIRES: each
// tag checked by CheckNewTag against `index` and the tags before it. Throws EDBEngineError for a
// failed write.
void AppendTagsToCopy(FileHandle fd, const std::string& path, const MdxFile& index,
                      const DbfFile& table, const std::vector<IndexTagDef>& tags);

// Throws the EDBEngineError that refuses a new tag before anything is written when
// `tag` (its name as ValidTagName returns it) is added to an index holding the tags `names`
// under language driver `language`: a full tag table (47 tags), a name already there, a key or
// FOR expression that PlanTag refuses. `indexPath` names the index file in messages.
void CheckNewTag(const IndexTagDef& tag, const std::vector<std::string>& names,
                 const DbfFile& table, uint8_t language, const std::string& indexPath);

// Checks the index file against the table: the structure rules (header, tag headers, nodes,
// pages, free list) and the content (every record the tag's FOR admits exactly once - once per
// value for unique tags - with the key its expression gives, in order). Returns one line per
// fault, naming the tag, the record and what is wrong; empty when the index is sound. At most
// `maxFaultsPerTag` lines per tag.
std::vector<std::string> CheckIndexFile(const DbfFile& table, const std::string& mdxPath,
                                        size_t maxFaultsPerTag = 5);

}  // namespace ari::engine
