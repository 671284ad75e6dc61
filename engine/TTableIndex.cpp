// TIndexDefs::Update and TTable::AddIndex: the production index side of the table component.

#include <cctype>

#include "engine/EngineErrors.h"
#include "engine/EngineStatus.h"
#include "engine/TTable.h"
#include "engine/expr/Expr.h"
#include "engine/format/MdxFormat.h"
#include "engine/index/BuiltIndexes.h"
#include "engine/index/MdxFile.h"
#include "engine/index/MdxTable.h"
#include "engine/table/Cursor.h"
#include "engine/table/DbfFile.h"
#include "engine/table/FileOps.h"
#include "engine/table/TableDamage.h"
#include "engine/table/TableFiles.h"
#include "engine/table/TableLock.h"
#include "platform/Files.h"

using namespace ari::engine;

namespace {

// 1024-byte blocks, as every known writer uses (the dry run counts with the same constant).
constexpr uint16_t kNewIndexBlockPages = mdx::kDefaultBlockPages;

std::string Trimmed(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b])))
        ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1])))
        --e;
    return s.substr(b, e - b);
}

// The field a single-field tag is keyed on, as the table names it; "" for an expression tag,
// and for an expression this engine cannot parse.
std::string KeyField(const std::string& expression, const std::vector<FieldDef>& fields) {
    try {
        return Expression::Parse(expression, fields).SingleField();
    } catch (const EDBEngineError&) {
        return {};
    }
}

std::string BaseNameOf(const std::string& tablePath) {
    std::string name = ari::ExtractFileName(tablePath);
    const auto dot = name.rfind('.');
    if (dot != std::string::npos)
        name.erase(dot);
    return name;
}

}  // namespace

void TIndexDefs::Update() {
    items_.clear();
    const bool wasOpen = owner_.Active();
    if (!wasOpen)
        owner_.Open();  // sole use when Exclusive is set
    struct CloseAgain {
        TTable& table;
        bool close;
        ~CloseAgain() {
            if (close)
                table.Close();
        }
    } closer{owner_, !wasOpen};

    Cursor* cursor = owner_.Handle();
    if (!cursor || cursor->GetDriver() != Driver::DBase || !cursor->Table())
        return;
    const DbfFile& table = *cursor->Table();
    if (table.ProductionIndexFlag() == 0)
        return;
    const std::string mdxPath = FindCompanion(cursor->Path(), ari::kProductionIndexExtension);
    if (mdxPath.empty()) {
        RaiseTableError(kStatusIndexError, cursor->Path(),
                        {"The table names a production index file, but there is none."});
    }
    const MdxFile index(mdxPath);
    for (const auto& tag : index.Tags()) {
        TIndexDef def;
        def.Name = tag.name;
        def.FilterExpression = tag.forExpression;
        if (tag.unique)
            def.Options |= static_cast<TIndexOptions>(TIndexOption::ixUnique);
        if (tag.descending)
            def.Options |= static_cast<TIndexOptions>(TIndexOption::ixDescending);
        const std::string field = KeyField(tag.expression, table.Fields());
        if (!field.empty()) {
            def.Fields = field;
            def.FieldExpression = field;
        } else {
            def.Options |= ixExpression;
            def.Expression = tag.expression;
            def.FieldExpression = tag.expression;
        }
        items_.push_back(std::move(def));
    }
}

namespace {

// Puts the new index `temp` in place at `target`, an existing index file or, when
// `replacesExisting` is false, a new name: renamed only while nobody else has any of the table's
// files open. A new file is proven before its rename, so that an open of it after is seen; the
// lease takes it over with its lock. (A caller holding the table may have removed an index file
// of that name: the lease then lets go of it.)
void PutIndexInPlace(const std::string& target, bool replacesExisting, TemporaryFile& temp,
                     TableLease& lease) {
    if (replacesExisting) {
        ReplaceTableFiles(target, temp, {}, nullptr, lease);
        return;
    }
    lease.ProveNewFile(temp.Fd(), temp.Path());
    lease.CheckSoleUse();
    // A file another program put under the name meanwhile is not renamed over (a look, then
    // the rename: a program renaming onto the name in between is not seen).
    if (ari::KindOfName(target) != ari::NameKind::Missing)
        RaiseNameTaken(target);
    RenameFile(temp.Path(), target);
    SyncFolder(ari::ExtractFilePath(target));
    lease.Replace(target, temp.Release());
}

// The tags of an AddIndexes call, each looked at as its AddIndex call would look at it.
class TagList {
  public:
    TagList(const std::vector<TTable::NewIndex>& tags, const std::function<void(size_t)>& before)
        : tags_(tags), before_(before) {}
    size_t Size() const { return tags_.size(); }
    // Tells the caller that tag `i` is next and checks its name (raises EDBEngineError).
    IndexTagDef Take(size_t i) const {
        if (before_)
            before_(i);
        const TTable::NewIndex& t = tags_[i];
        IndexTagDef def;
        def.name = ValidTagName(Trimmed(t.name));
        def.expression = Trimmed(t.fields);
        def.forExpression = Trimmed(t.forCondition);
        def.unique = (t.options & static_cast<TIndexOptions>(TIndexOption::ixUnique)) != 0;
        def.descending = (t.options & static_cast<TIndexOptions>(TIndexOption::ixDescending)) != 0;
        return def;
    }

  private:
    const std::vector<TTable::NewIndex>& tags_;
    const std::function<void(size_t)>& before_;
};

// Adds the tags of `list` (the first already taken: `first`) to the production index of the
// dBASE table at `path`, whose files `lease` holds for sole use and `table` reads (open for
// writing): the leading ones that pass their checks, in one new file put in place once; then
// the refusal of the first that does not pass, if any.
void AddTagsUnderLease(const std::string& path, TableLease& lease, DbfFile& table,
                       const TagList& list, IndexTagDef first) {
    // Nobody else has any of the files open, up to and including the rename.
    const SoleUseHold hold(lease);
    // Keys built from rows read out of line or cut short would list records that are not there.
    RefuseDamagedRecords(table);
    std::unique_ptr<EDBEngineError> refusal;
    // The tags that pass, taken and checked in order until one is refused.
    const auto passing = [&](const std::vector<std::string>& present, uint8_t language,
                             const std::string& indexPath) {
        std::vector<IndexTagDef> defs;
        std::vector<std::string> names = present;
        try {
            for (size_t i = 0; i < list.Size(); ++i) {
                IndexTagDef def = i == 0 ? std::move(first) : list.Take(i);
                CheckNewTag(def, names, table, language, indexPath);
                names.push_back(def.name);
                defs.push_back(std::move(def));
            }
        } catch (const EDBEngineError& e) {
            refusal = std::make_unique<EDBEngineError>(e);
        }
        return defs;
    };
    try {
        const std::string existing = FindCompanion(path, ari::kProductionIndexExtension);
        bool added = false;
        if (!existing.empty() && table.ProductionIndexFlag() != 0) {
            const MdxFile index(existing);
            std::vector<std::string> names;
            for (const auto& t : index.Tags())
                names.push_back(t.name);
            const auto defs = passing(names, index.Header().language, index.Path());
            if (!defs.empty()) {
                TemporaryFile temp(existing, ari::kIndexPurpose);
                AppendTagsToCopy(temp.Fd(), temp.Path(), index, table, defs);
                SyncFile(temp.Fd(), temp.Path());
                PutIndexInPlace(existing, true, temp, lease);
                added = true;
            }
        } else {
            // No production index yet (an index file the header does not name is not the
            // table's and is replaced).
            const std::string target = existing.empty()
                                           ? CompanionPathFor(path, ari::kProductionIndexExtension)
                                           : existing;
            const auto defs = passing({}, table.LanguageDriver(), target);
            if (!defs.empty()) {
                TemporaryFile temp(target, ari::kIndexPurpose);
                ContentDigest records;
                AddTableShape(records, table);
                WriteIndexFile(temp.Fd(), temp.Path(), table, BaseNameOf(path), kNewIndexBlockPages,
                               table.LanguageDriver(), defs, &records);
                SyncFile(temp.Fd(), temp.Path());
                // Every tag of this file is built from the records: a pack may take its keys.
                const auto built = DescribeBuiltIndex(path, temp.Fd(), temp.Path(), records);
                PutIndexInPlace(target, !existing.empty(), temp, lease);
                if (built)
                    RememberBuiltIndex(*built);
                added = true;
            }
        }
        if (added && table.ProductionIndexFlag() != 1)
            table.SetProductionIndexFlag(1);
    } catch (const EDBEngineError&) {
        throw;
    } catch (const Exception& e) {
        RaiseTableErrorCausedBy(kStatusIndexError, path, e);
    }
    if (refusal)
        throw EDBEngineError(*refusal);
}

}  // namespace

void TTable::AddIndexes(const std::vector<NewIndex>& tags,
                        const std::function<void(size_t)>& beforeEach) {
    if (tags.empty())
        return;
    if (Active() && cursor_->Mode() != ShareMode::Exclusive) {
        RaiseEngineError(kStatusTableOpen,
                         {name_ + ": an index is added to a closed table or to a table open "
                                  "for sole use."});
    }
    const TagList list(tags, beforeEach);
    IndexTagDef first = list.Take(0);

    if (Active()) {
        // Under the hold of the open table: its lease and its table file.
        if (cursor_->GetDriver() != Driver::DBase || !cursor_->Table()) {
            RaiseTableError(kStatusUnsupportedFormat, cursor_->Path(),
                            {"Production indexes belong to dBASE tables."});
        }
        cursor_->Lease().RefuseReadOnly();
        AddTagsUnderLease(cursor_->Path(), cursor_->Lease(), *cursor_->Table(), list,
                          std::move(first));
        return;
    }

    const std::string path = TablePath();
    if (ari::FolderExists(path))
        RaiseTableError(kStatusNotATableFile, path, {"It is a folder."});
    if (!ari::FileExists(path))
        RaiseTableError(kStatusTableNotFound, path);
    if (DriverForTable(path) != Driver::DBase) {
        RaiseTableError(kStatusUnsupportedFormat, path,
                        {"Production indexes belong to dBASE tables."});
    }
    // Sole use of the table and its companions while the index is written.
    auto lease = TableLease::Acquire(path, FindCompanions(path, DbaseCompanionExtensions()),
                                     ShareMode::Exclusive);
    const SoleUseHold hold(*lease);
    lease->RefuseReadOnly();
    auto table = DbfFile::OpenHeld(path, true);
    AddTagsUnderLease(path, *lease, *table, list, std::move(first));
}

void TTable::AddIndex(const std::string& name, const std::string& fields, TIndexOptions options,
                      const std::string& /*descFields: dBASE tags are descending as a whole*/,
                      const std::string& forCondition) {
    AddIndexes({{name, fields, options, forCondition}});
}

namespace {

// The open table's cursor when it is a dBASE table open for sole use; raises otherwise.
Cursor& SoleUseDbaseCursor(const TTable& t, Cursor* cursor) {
    if (!cursor || cursor->Mode() != ShareMode::Exclusive) {
        RaiseEngineError(kStatusNeedExclusive,
                         {t.Name() + ": the table must be open for sole use."});
    }
    if (cursor->GetDriver() != Driver::DBase || !cursor->Table()) {
        RaiseTableError(kStatusUnsupportedFormat, cursor->Path(),
                        {"Production indexes belong to dBASE tables."});
    }
    return *cursor;
}

}  // namespace

void TTable::SetIndexHeaderBytes(uint8_t productionIndexFlag, uint8_t languageDriver) {
    Cursor& cursor = SoleUseDbaseCursor(*this, cursor_.get());
    const SoleUseHold hold(cursor.Lease());
    cursor.Lease().RefuseReadOnly();
    try {
        cursor.Table()->SetIndexHeaderBytes(productionIndexFlag, languageDriver);
    } catch (const EDBEngineError&) {
        throw;
    } catch (const Exception& e) {
        RaiseTableErrorCausedBy(kStatusWriteError, cursor.Path(), e);
    }
}

void TTable::CheckTableWritable() const {
    if (cursor_)
        cursor_->Lease().RefuseReadOnly();
}

void TTable::CheckTableDamage() const {
    if (!cursor_ || cursor_->GetDriver() != Driver::DBase || !cursor_->Table())
        return;
    RefuseDamagedRecords(*cursor_->Table());
}

void TTable::RebuildIndexFrom(const std::string& sourceIndexPath, const std::string& indexPath) {
    Cursor& cursor = SoleUseDbaseCursor(*this, cursor_.get());
    const std::string& path = cursor.Path();
    if (ari::ExtractFilePath(indexPath) != ari::ExtractFilePath(path) ||
        !ari::EqualsNoCase(
            ari::ExtractFileName(indexPath),
            ari::ExtractFileName(CompanionPathFor(path, ari::kProductionIndexExtension)))) {
        RaiseTableError(kStatusInvalidParameter, path,
                        {indexPath + " is not the table's index file."});
    }
    const DbfFile& table = *cursor.Table();
    const SoleUseHold hold(cursor.Lease());
    cursor.Lease().RefuseReadOnly();
    RefuseDamagedRecords(table);
    try {
        const MdxFile source(sourceIndexPath);
        TemporaryFile temp(indexPath, ari::kIndexPurpose);
        WriteIndexFile(temp.Fd(), temp.Path(), table, source.Header().baseName,
                       source.Header().blockPages, table.LanguageDriver(), TagDefinitions(source));
        SyncFile(temp.Fd(), temp.Path());
        PutIndexInPlace(indexPath, ari::FileExists(indexPath), temp, cursor.Lease());
    } catch (const EDBEngineError&) {
        throw;
    } catch (const Exception& e) {
        RaiseTableErrorCausedBy(kStatusIndexError, path, e);
    }
}

namespace {

// The file at a path (not following a final symbolic link), or none.
struct PathIdentity {
    bool exists = false;
    ari::FileId id;
    bool operator==(const PathIdentity& o) const {
        return exists == o.exists && (!exists || id == o.id);
    }
};

PathIdentity IdentityOf(const std::string& path) {
    ari::FileInfo info;
    if (ari::Env::Default()->PathInfo(path, false, &info) != 0)
        return {};
    return {true, info.id};
}

// After a failed replace that left the old index in place: the header bytes as they were, while
// the table is still proven to be ours alone. A failure here leaves the flag clear (the old index
// unnamed), which the next rebuild mends.
void PutHeaderBack(DbfFile& table, TableLease& lease, uint8_t flag, uint8_t language) {
    try {
        lease.CheckSoleUse();
        table.SetIndexHeaderBytes(flag, language);
    } catch (const Exception&) {
    }
}

// Removes every file beside `indexPath` named like it whatever the case, other than the file
// `indexPath` itself (one file under another spelling where names ignore case): on a
// case-sensitive file system a second spelling would be a second, stale index that the table
// could be found with. Failures are not looked at: the file is not the table's index.
void RemoveOtherSpellings(const std::string& indexPath) {
    const std::string folder = ari::ExtractFilePath(indexPath);
    const PathIdentity kept = IdentityOf(indexPath);
    if (!kept.exists)
        return;
    for (const auto& name :
         ari::FilesNamedNoCase(folder.empty() ? "." : folder, ari::ExtractFileName(indexPath))) {
        const std::string other = folder + name;
        if (other != indexPath && !(IdentityOf(other) == kept))
            ari::Env::Default()->Remove(other);
    }
}

}  // namespace

void TTable::ReplaceIndexes(const std::vector<NewIndex>& tags, uint8_t languageDriver,
                            const std::function<void(size_t)>& beforeEach) {
    Cursor& cursor = SoleUseDbaseCursor(*this, cursor_.get());
    const std::string& path = cursor.Path();
    DbfFile& table = *cursor.Table();
    TableLease& lease = cursor.Lease();
    // Nobody else has any of the files open, from the build up to and including the rename.
    const SoleUseHold hold(lease);
    RefuseDamagedRecords(table);
    const std::string target = CompanionPathFor(path, ari::kProductionIndexExtension);

    // The tags that pass, taken and checked in order until one is refused.
    const TagList list(tags, beforeEach);
    std::unique_ptr<EDBEngineError> refusal;
    std::vector<IndexTagDef> defs;
    try {
        std::vector<std::string> names;
        for (size_t i = 0; i < list.Size(); ++i) {
            IndexTagDef def = list.Take(i);
            CheckNewTag(def, names, table, languageDriver, target);
            names.push_back(def.name);
            defs.push_back(std::move(def));
        }
    } catch (const EDBEngineError& e) {
        refusal = std::make_unique<EDBEngineError>(e);
    }
    if (defs.empty()) {
        if (refusal)
            throw EDBEngineError(*refusal);
        return;
    }

    const uint8_t oldFlag = table.ProductionIndexFlag();
    const uint8_t oldLanguage = table.LanguageDriver();
    bool headerCleared = false;
    try {
        TemporaryFile temp(target, ari::kIndexPurpose);
        ContentDigest records;
        AddTableShape(records, table, languageDriver);
        WriteIndexFile(temp.Fd(), temp.Path(), table, BaseNameOf(path), kNewIndexBlockPages,
                       languageDriver, defs, &records);
        SyncFile(temp.Fd(), temp.Path());
        const auto built = DescribeBuiltIndex(path, temp.Fd(), temp.Path(), records);
        const PathIdentity before = IdentityOf(target);
        try {
            if (oldLanguage != languageDriver) {
                // An index is read under the header's language driver: the old one must not be
                // named under the new language driver, nor the new one under the old. Unnamed
                // (flag clear) in between, either index is only a file beside the table.
                lease.CheckSoleUse();
                headerCleared = true;
                table.SetIndexHeaderBytes(0, languageDriver);
            }
            // With the exact name there, one rename over it, proven before and after; without,
            // the new name appears and the spellings that were there go after it.
            PutIndexInPlace(target, ari::FileExists(target), temp, lease);
        } catch (const Exception& e) {
            // The header goes back while the old index is still the one in place, unless a
            // program opened the table: it has read the header as it is now, and it stays so.
            const auto* engine = dynamic_cast<const EDBEngineError*>(&e);
            if (headerCleared && !(engine && engine->Kind() == ari::ErrorKind::InUse) &&
                IdentityOf(target) == before)
                PutHeaderBack(table, lease, oldFlag, oldLanguage);
            throw;
        }
        RemoveOtherSpellings(target);
        if (table.ProductionIndexFlag() != 1) {
            // Not set under a program that opened the table since the rename and read the flag
            // clear: it would go on without the index and leave it behind its records.
            lease.CheckSoleUse();
            table.SetProductionIndexFlag(1);
        }
        if (built)
            RememberBuiltIndex(*built);
    } catch (const EDBEngineError&) {
        throw;
    } catch (const Exception& e) {
        RaiseTableErrorCausedBy(kStatusIndexError, path, e);
    }
    if (refusal)
        throw EDBEngineError(*refusal);
}
