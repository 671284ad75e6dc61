// What makes a dBASE table damaged, defined once: the pack refuses a damaged table and changes
// nothing, and `dbtool check` reports the same damage in the same words. Damage is what cannot
// be read with certainty; what the count rule settles without losing a record (a stale count,
// garbage beyond a low count) and records with an invalid deletion flag (kept as they are) are
// not damage (doc/engine-format.md).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ari::engine {

class DbfFile;

struct TableDamage {
    uint16_t status = 0;  // kStatusCorruptHeader, kStatusCorruptData or kStatusIndexError
    std::string what;     // names the file and what is wrong with it
};

// The damage of an open table, in file order (empty when none):
// - a dBASE table whose header length leaves bytes other than padding (NUL or blank) between
//   the end of the field descriptors and the first record: the header length, record length
//   and descriptors disagree, and records would be hidden in the header or read out of line;
// - a file that ends inside a record: after the records the count rule keeps, fewer bytes than
//   a record that do not start with the 0x1A end byte (a record cut short);
// - for a dBASE table whose header names a production index that exists: an index header that
//   fails a check, an index that claims no tags, or a tag whose definition cannot be parsed
//   against the table's fields. (A missing index file is left to the index checks: a pack that
//   finds none has nothing to rebuild.)
// Reads the table file again by its path. Throws only when the file cannot be read.
std::vector<TableDamage> FindTableDamage(const DbfFile& table);

// The damage of the table file itself, the first two kinds above, its production index not
// looked at: what an index build over the table's records refuses (its keys would come from rows
// read out of line or cut short), as the pack does; the index it builds replaces the old one,
// whose damage is then no matter.
std::vector<TableDamage> FindRecordDamage(const DbfFile& table);

// The damage of the index file `mdxPath` taken as `table`'s production index (the third kind
// above): what the pack's rebuild and the roll-forward of an ended pack refuse to build from.
std::vector<TableDamage> FindProductionIndexDamage(const DbfFile& table,
                                                   const std::string& mdxPath);

// Raise EDBEngineError with the status of the first damage, naming the table and every
// damage; return when there is none.
// The error's Kind() is Damaged and its File() the table.
void RefuseDamagedTable(const DbfFile& table);
void RefuseDamagedRecords(const DbfFile& table);
void RefuseDamagedIndex(const DbfFile& table, const std::string& mdxPath);

}  // namespace ari::engine
