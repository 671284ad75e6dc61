// PLACEHOLDER so the tree links until the engine lands; replaced by the engine's own file.
#include "engine/TTable.h"

namespace ari::engine {
class Cursor {};
class Database {};
}  // namespace ari::engine

TTable::TTable(std::string name) : name_(std::move(name)), indexDefs_(*this) {}
TTable::~TTable() = default;
void TTable::SetDatabaseName(const std::string& v) { databaseName_ = v; }
void TTable::SetTableName(const std::string& v) { tableName_ = v; }
void TTable::SetExclusive(bool v) { exclusive_ = v; }
void TTable::Open() { throw EDatabaseError("engine not built yet"); }
void TTable::Close() {}
bool TTable::Active() const { return false; }
hDBICur TTable::Handle() const { return nullptr; }
hDBIDb TTable::DBHandle() const { return nullptr; }
void TTable::AddIndex(const std::string&, const std::string&, TIndexOptions, const std::string&) {
    throw EDatabaseError("engine not built yet");
}
std::string TTable::TablePath() const { return databaseName_ + tableName_; }
void TIndexDefs::Update() { throw EDatabaseError("engine not built yet"); }
