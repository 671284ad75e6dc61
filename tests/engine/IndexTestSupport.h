// Helpers of the production index tests: fixture tables, walking a tag, the model order of a
// tag (keys computed from the records and sorted with std::sort), and the independent readers.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/format/Field.h"

namespace ari::test {

struct Row {
    std::vector<std::string> values;
    bool deleted = false;
};

// Writes a new dBASE table (version 0x03) with the given fields and rows.
std::string MakeTable(const std::string& path, const std::vector<ari::engine::FieldDef>& fields,
                      const std::vector<Row>& rows, uint8_t language = 0);

struct IndexEntry {
    uint32_t recno = 0;
    std::string key;  // as `dbtool keys` shows it
    bool operator==(const IndexEntry&) const = default;
};

// The entries of a tag of the table's production index in stored order.
std::vector<IndexEntry> WalkTag(const std::string& tablePath, const std::string& tag);
std::vector<uint32_t> RecordOrder(const std::vector<IndexEntry>& entries);

// The model: every record's key by `expression` (FOR `condition` when not empty), sorted with
// std::sort by value (numbers and dates as doubles, characters byte-wise or by the sort weights
// of the table's language driver), equal keys by record
// number; for unique tags the first record of each value only; descending reverses the keys.
std::vector<IndexEntry> ModelOrder(const std::string& tablePath, const std::string& expression,
                                   const std::string& condition = "", bool unique = false,
                                   bool descending = false);

// Levels of a tag's tree (1 = the root is a leaf).
int TreeLevels(const std::string& mdxPath, const std::string& tag);

// The production index faults of a table ("" when sound).
std::string IndexFaults(const std::string& tablePath);

// Independent readers. Empty optional-like results mean the reader is not installed.
bool PerlIndexReaderAvailable();
std::vector<std::string> PerlTags(const std::string& mdxPath);
std::vector<uint32_t> PerlOrder(const std::string& mdxPath, const std::string& tag);
// The stored key bytes and record number of each entry, as the Perl reader walks the tag.
std::vector<std::pair<std::string, uint32_t>> PerlEntries(const std::string& mdxPath,
                                                          const std::string& tag);
// The Free Pascal TDbf program built into the build folder ("" when fpc was not found).
std::string TdbfProgram();
// "TAG name|expression|unique|descending" lines and, with a tag, the record order.
std::vector<std::string> TdbfRun(const std::string& tablePath, const std::string& tag = "");

}  // namespace ari::test
