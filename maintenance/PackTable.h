// The pack routine: reopens a table for sole use, packs it by its kind's own means (dBASE:
// the engine's pack with index rebuild; Paradox: a rewrite with the pack flag) and reopens it
// for shared use.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "engine/TTable.h"
#include "engine/format/TableDescriptor.h"

// Packs `table` (DatabaseName and TableName set; open or closed on entry). Returns true when
// the table is open at the end, which on success it always is, shared and with Exclusive
// false. When `withControls`, each close-and-reopen is bracketed by DisableControls and
// EnableControls.
// Throws, doing no clean-up, and leaves the table as it stood when the failure arose:
//   exclusive Open fails           EDBEngineError  closed, Exclusive true
//   not active after the open      EDatabaseError "Table  must be opened to pack"
//   not exclusive after the open   EDatabaseError "Table  must be opened exclusively to pack"
//   cursor info / database / pack  EDBEngineError  open for sole use
//   Paradox rewrite                EDBEngineError  closed, Exclusive true
//   neither Paradox nor dBASE      EDatabaseError "Table must be  either of Paradox or dBASE
//                                  type to pack"   open for sole use
//   Paradox name over 260 bytes    EDatabaseError  open for sole use (nothing rewritten)
//   shared Open fails              EDBEngineError  closed, Exclusive false
bool PackTable(TTable& table, bool withControls);

namespace ari {

// The table descriptor that the Paradox rewrite receives (its layout:
// engine/format/TableDescriptor.h), with the pack flag set.
using TableDescriptor = std::array<uint8_t, kTableDescriptorSize>;

// Builds the descriptor. Throws EDatabaseError when `tableName` is longer than
// kDescriptorNameMax bytes or `typeText` does not fit its field with its NUL: nothing is
// written outside a field, and a cut name could name another table.
TableDescriptor MakePackDescriptor(const std::string& tableName, const std::string& typeText);

// The table-type text of a cursor information record: the 32 bytes at offset 263, ended by
// the first NUL or by the end of the field.
std::string CursorInfoTypeText(const uint8_t* record /* kCursorInfoSize bytes */);

}  // namespace ari
