#include "maintenance/DryRun.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "engine/EngineErrors.h"
#include "engine/EngineStatus.h"
#include "engine/check/TableCheck.h"
#include "engine/format/DbfFormat.h"
#include "engine/format/MdxFormat.h"
#include "engine/index/MdxFile.h"
#include "engine/index/MdxTable.h"
#include "engine/table/Cursor.h"
#include "engine/table/DbfFile.h"
#include "engine/table/TableDamage.h"
#include "engine/table/TableFiles.h"
#include "engine/table/TableLock.h"
#include "log/LogTexts.h"
#include "maintenance/IndexFiles.h"
#include "platform/Exception.h"
#include "platform/FileAccess.h"
#include "platform/FileErrors.h"
#include "platform/FileNames.h"
#include "platform/Files.h"
#include "platform/RunMarker.h"

namespace ari {

using engine::DbfFile;
using engine::Driver;
using engine::IndexTagDef;
using engine::MdxFile;

const char* IndexStateText(IndexState state) {
    switch (state) {
        case IndexState::NotLooked:
            return "-";
        case IndexState::None:
            return "none";
        case IndexState::Current:
            return "current";
        case IndexState::Stale:
            return "stale";
        case IndexState::Missing:
            return "missing";
        case IndexState::Damaged:
            return "damaged";
    }
    return "-";
}

const TableForecast* DryRunResult::StoppingTable() const {
    // The index pass goes first over the template's tables, then the pack over the live ones.
    for (const TableForecast& t : tables)
        if (!t.stops.empty() && t.inTemplate && operations.IndexPass())
            return &t;
    for (const TableForecast& t : tables)
        if (!t.stops.empty())
            return &t;
    return nullptr;
}

namespace {

// The pack's words for a table of another kind (maintenance/PackTable.cpp).
constexpr char kPackWrongType[] = "Table must be  either of Paradox or dBASE type to pack";

std::string FolderOf(const std::string& text) {
    return text.empty() ? std::string() : WithTrailingSeparator(AbsolutePath(text));
}

uint64_t SizeOf(const std::string& path) {
    FileInfo info;
    return Env::Default()->PathInfo(path, true, &info) == 0 ? info.size : 0;
}

FileForecast Unchanged(const std::string& path) {
    FileForecast f;
    f.existsNow = f.existsAfter = !path.empty();
    f.bytesNow = f.bytesAfter = path.empty() ? 0 : SizeOf(path);
    return f;
}

void AddOperation(std::string& operations, const char* operation) {
    operations += (operations.empty() ? "" : ",") + std::string(operation);
}

// An error's words on one line.
std::string OneLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

// The index a step of the pass leaves on a table: the definitions it is built with (an empty list
// when the table is left without one) and how; `kept` is the step that built it last.
struct IndexAfter {
    bool rebuiltByPass = false;  // the index pass builds a new index (rebuild or transfer)
    bool named = false;          // the table's header names a production index afterwards
    std::vector<IndexTagDef> defs;
    uint16_t blockPages = engine::mdx::kDefaultBlockPages;
    uint8_t language = 0;
};

// The tag definitions the rebuild reads from the template table (ReadIndexDefinitions): none
// when its header names no index. Throws EDBEngineError as the read would.
std::vector<IndexTagDef> TemplateDefinitions(const std::string& templatePath) {
    const auto table = DbfFile::Open(templatePath, engine::ShareMode::Shared);
    if (table->Header().family != engine::DbfFamily::DBase || table->ProductionIndexFlag() == 0)
        return {};
    const std::string mdx = engine::FindCompanion(templatePath, kProductionIndexExtension);
    if (mdx.empty())
        engine::RaiseTableError(engine::kStatusIndexError, templatePath,
                                {"The table names a production index file, but there is none."});
    return engine::TagDefinitions(MdxFile(mdx));
}

class TableLook {
  public:
    TableLook(const DryRunResult& run, TableForecast& t, const std::string& spillBeside)
        : run_(run), t_(t), ops_(run.operations), spillBeside_(spillBeside) {}

    void Run() {
        const std::string found = FindFileNoCase(run_.liveFolder, t_.table);
        livePath_ = run_.liveFolder + (found.empty() ? t_.table : found);
        if (found.empty() || !FileExists(livePath_)) {
            NoLiveTable();
            return;
        }
        if (t_.inTemplate && ops_.transfer)
            AddOperation(t_.operations, "transfer");
        if (t_.inTemplate && ops_.rebuild)
            AddOperation(t_.operations, "rebuild");
        if (t_.inLive && ops_.pack)
            AddOperation(t_.operations, "pack");
        try {
            Look();
        } catch (const Exception& e) {
            // What the pass's open of the table would meet too: a link, no table file ...
            t_.checkFault = OneLine(e.Message());
            if (!t_.operations.empty() && t_.stops.empty())
                t_.stops = t_.checkFault;
        }
    }

  private:
    // A template table without a live one: the transfer puts the template's index file there as
    // it is; the rebuild's sole-use open finds no table and ends the pass.
    void NoLiveTable() {
        const auto templateIndex = TemplateIndexPath();
        if (ops_.transfer) {
            AddOperation(t_.operations, "transfer");
            if (!templateIndex.empty()) {
                t_.indexFile.existsAfter = true;
                t_.indexFile.bytesAfter = SizeOf(templateIndex);
                t_.note = "no live table: the transfer puts the template's index file there";
            }
        }
        if (ops_.rebuild) {
            AddOperation(t_.operations, "rebuild");
            t_.stops = FileErrorMessage(kFileNotFound) + ": " + livePath_;
        }
    }

    // The template's index file as the transfer finds it; "" when there is none to copy.
    std::string TemplateIndexPath() const {
        if (!t_.inTemplate || run_.templateFolder.empty())
            return {};
        const auto names = FilesNamedNoCase(run_.templateFolder, IndexFileName(t_.table));
        if (names.empty() || !FileReadable(run_.templateFolder + names.front()))
            return {};
        return run_.templateFolder + names.front();
    }

    void Look() {
        const Driver driver = engine::DriverForTable(livePath_);
        std::vector<std::string> companions;
        switch (driver) {
            case Driver::DBase:
                companions = engine::FindCompanions(livePath_, engine::DbaseCompanionExtensions());
                break;
            case Driver::FoxPro:
                companions = engine::FindCompanions(livePath_,
                                                    {kFoxProMemoExtension, kFoxProIndexExtension});
                break;
            case Driver::Paradox:
                break;
        }
        // First, with none of its files open here: our own open would count as another's.
        const engine::SoleUseProbe probe = engine::ProbeSoleUse(livePath_, companions);
        t_.inUse = probe.inUse;
        t_.inUseBy = probe.who.empty() ? std::string() : OneLine(probe.who);
        if (probe.inUse && probe.file != livePath_)
            t_.inUseBy += " (" + ExtractFileName(probe.file) + ")";

        std::unique_ptr<DbfFile> f;
        try {
            f = DbfFile::Open(livePath_, engine::ShareMode::Shared);
        } catch (const EDBEngineError& e) {
            if (t_.inUse) {
                // Held for sole use by another program: not read, and the pass stops or skips.
                t_.note = "not read: " + OneLine(e.Message());
                Decide(nullptr, driver);
                return;
            }
            throw;
        }
        Read(*f);
        Decide(f.get(), driver);
    }

    // Counts, sizes and the checks of "dbtool check".
    void Read(const DbfFile& f) {
        t_.lookedInside = true;
        t_.records = f.RecordCount();
        DbfFile::Scanner scan(f);
        while (const uint8_t* r = scan.Next())
            t_.deleted += r[0] == engine::dbf::kDeletedFlag ? 1 : 0;
        t_.tableFile = Unchanged(livePath_);
        t_.memoFile = Unchanged(f.MemoPath());
        indexNamed_ = f.Header().family == engine::DbfFamily::DBase && f.ProductionIndexFlag() != 0;
        mdxPath_ = engine::FindCompanion(livePath_, kProductionIndexExtension);
        t_.indexFile = Unchanged(mdxPath_);

        for (const auto& d : engine::FindRecordDamage(f))
            recordDamage_ += (recordDamage_.empty() ? "" : " ") + OneLine(d.what);
        if (!recordDamage_.empty()) {
            t_.checkFault = "damage: " + recordDamage_;
        } else {
            for (const auto& [step, check] : engine::CheckSteps()) {
                if (step == "damage" || step == "index")
                    continue;
                const std::string fault = check(f);
                if (!fault.empty()) {
                    t_.checkFault = step + ": " + OneLine(fault);
                    break;
                }
            }
        }

        if (!indexNamed_) {
            t_.index = IndexState::None;
        } else if (mdxPath_.empty()) {
            t_.index = IndexState::Missing;
            t_.indexFault = "the table names a production index file, but there is none";
        } else {
            std::string damage;
            for (const auto& d : engine::FindProductionIndexDamage(f, mdxPath_))
                damage += (damage.empty() ? "" : " ") + OneLine(d.what);
            if (!damage.empty()) {
                t_.index = IndexState::Damaged;
                t_.indexFault = damage;
            } else {
                const std::vector<std::string> faults = engine::CheckIndexFile(f, mdxPath_, 1);
                t_.index = faults.empty() ? IndexState::Current : IndexState::Stale;
                if (!faults.empty())
                    t_.indexFault =
                        OneLine(faults.front()) +
                        (faults.size() > 1 ? " (and " + std::to_string(faults.size() - 1) + " more)"
                                           : "");
            }
        }
    }

    void Stop(const std::string& why) {
        if (t_.stops.empty())
            t_.stops = why;
    }

    // What the pass would do to the table, and the bytes it would leave.
    void Decide(const DbfFile* f, Driver driver) {
        const bool dbase = driver == Driver::DBase;
        IndexAfter after;
        after.named = indexNamed_;
        if (f && indexNamed_ && !mdxPath_.empty() && t_.index != IndexState::Damaged) {
            const MdxFile own(mdxPath_);
            after.defs = engine::TagDefinitions(own);
            after.blockPages = own.Header().blockPages;
            after.language = own.Header().language;
        }

        // The index pass, under one sole-use hold of the table (maintenance/IndexFiles.h).
        const std::string templateIndex = TemplateIndexPath();
        const bool transfers = t_.inTemplate && ops_.transfer && !templateIndex.empty();
        const bool rebuilds = t_.inTemplate && ops_.rebuild;
        if (transfers || rebuilds) {
            if (t_.inUse) {
                if (rebuilds)
                    Stop("in use: " + t_.inUseBy);
                else
                    t_.note = "the transfer leaves its index as it is: the table is in use";
            } else if (!f) {
                Stop(t_.note);
            } else if (!recordDamage_.empty()) {
                Stop(t_.checkFault);
            } else if (!dbase) {
                Stop("Production indexes belong to dBASE tables.");
            } else {
                try {
                    if (rebuilds) {
                        // The rebuild clears header bytes 28 and 29 and adds the template's tags
                        // into a new file of the engine's block size under the cleared driver.
                        after.defs = TemplateDefinitions(
                            run_.templateFolder + FindFileNoCase(run_.templateFolder, t_.table));
                        after.blockPages = engine::mdx::kDefaultBlockPages;
                        after.language = 0;
                        after.named = !after.defs.empty();
                    } else {
                        // The transfer builds the template's tags, block size and base name over
                        // the live records under the table's driver; the header stays as it is.
                        const MdxFile source(templateIndex);
                        after.defs = engine::TagDefinitions(source);
                        after.blockPages = source.Header().blockPages;
                        after.language = f->LanguageDriver();
                    }
                    after.rebuiltByPass = true;
                } catch (const Exception& e) {
                    Stop(OneLine(e.Message()));
                }
            }
        }

        // The pack, under its own sole-use hold.
        bool packs = false;
        if (t_.inLive && ops_.pack) {
            if (t_.inUse)
                Stop("in use: " + t_.inUseBy);
            else if (!f)
                Stop(t_.note);
            else if (driver != Driver::DBase)
                Stop(kPackWrongType);
            else if (!recordDamage_.empty())
                Stop(t_.checkFault);
            else if (t_.index == IndexState::Damaged && !after.rebuiltByPass)
                Stop("the pack refuses a damaged index: " + t_.indexFault);
            else
                packs = true;
        }
        if (!f || !t_.stops.empty())
            return;  // the bytes after are those of a pass that stops here: not forecast

        if (packs) {
            const uint64_t kept = t_.records - t_.deleted;
            t_.tableFile.bytesAfter = f->HeaderLength() + kept * f->RecordLength() + 1;
        }
        // The memo file: the pack keeps it as it is (a deleted record's memo blocks stay).
        const bool packBuildsIndex =
            packs && after.named && (after.rebuiltByPass || !mdxPath_.empty());
        if (after.rebuiltByPass || packBuildsIndex) {
            if (after.defs.empty()) {
                // The rebuild removed the index and added no tag.
                t_.indexFile.existsAfter = false;
                t_.indexFile.bytesAfter = 0;
                return;
            }
            try {
                t_.indexFile.existsAfter = true;
                t_.indexFile.bytesAfter =
                    engine::IndexBytesOfBuild(*f, after.blockPages, after.language, after.defs,
                                              packBuildsIndex, spillBeside_);
            } catch (const Exception& e) {
                Stop(OneLine(e.Message()));
            }
        }
    }

    const DryRunResult& run_;
    TableForecast& t_;
    const RunOperations ops_;
    const std::string spillBeside_;
    std::string livePath_;
    std::string mdxPath_;  // the live index file now, "" when none
    bool indexNamed_ = false;
    std::string recordDamage_;
};

}  // namespace

DryRunResult ForecastRun(const RunChoices& choices, bool templatesBesideProgram,
                         const std::string& spillBeside) {
    DryRunResult result;
    result.operations = choices.operations;
    const RunOperations& ops = result.operations;
    if (ops.IndexPass() && choices.templateFolderText.empty()) {
        result.runFault = EmptyTemplateFolderTextLine();
        return result;
    }
    if ((ops.IndexPass() || ops.pack) && choices.liveFolderText.empty()) {
        result.runFault = EmptyLiveFolderTextLine();
        return result;
    }
    result.liveFolder = FolderOf(choices.liveFolderText);
    if (ops.IndexPass())
        result.templateFolder = FolderOf(choices.templateFolderText);
    if (!choices.markerPath.empty() && RunMarker::HeldByAPass(choices.markerPath)) {
        result.anotherPass = true;
        return result;
    }
    std::vector<std::string> templateTables;
    if (ops.IndexPass()) {
        if (FolderExists(result.templateFolder))
            templateTables = ListFiles(result.templateFolder, choices.tableMask);
        else if (templatesBesideProgram)
            result.templatesUnpackedFirst = true;
        else {
            result.runFault = MissingTemplateFolderLine(result.templateFolder);
            return result;
        }
    }
    if (!FolderExists(result.liveFolder)) {
        result.runFault = "The live folder " + result.liveFolder + " does not exist.";
        return result;
    }
    const std::vector<std::string> liveTables =
        ops.pack ? ListFiles(result.liveFolder, choices.tableMask) : std::vector<std::string>{};

    for (const std::string& name : templateTables) {
        TableForecast t;
        const std::string live = FindFileNoCase(result.liveFolder, name);
        t.table = live.empty() ? name : live;
        t.inTemplate = true;
        result.tables.push_back(t);
    }
    for (const std::string& name : liveTables) {
        const auto same =
            std::find_if(result.tables.begin(), result.tables.end(),
                         [&](const TableForecast& t) { return EqualsNoCase(t.table, name); });
        if (same != result.tables.end()) {
            same->table = name;
            same->inLive = true;
            continue;
        }
        TableForecast t;
        t.table = name;
        t.inLive = true;
        result.tables.push_back(t);
    }
    std::stable_sort(result.tables.begin(), result.tables.end(),
                     [](const TableForecast& a, const TableForecast& b) {
                         return LessNoCase(a.table, b.table);
                     });
    for (TableForecast& t : result.tables)
        TableLook(result, t, spillBeside).Run();
    return result;
}

namespace {

std::string Signed(int64_t n) {
    return std::to_string(n);
}

std::string PadRight(std::string s, size_t width) {
    if (s.size() < width)
        s.append(width - s.size(), ' ');
    return s;
}

std::string PadLeft(const std::string& s, size_t width) {
    return s.size() < width ? std::string(width - s.size(), ' ') + s : s;
}

std::string OperationsText(const RunOperations& ops) {
    std::string s;
    if (ops.transfer)
        AddOperation(s, "index transfer");
    if (ops.rebuild)
        AddOperation(s, "index rebuild");
    if (ops.pack)
        AddOperation(s, "pack");
    for (size_t i = 0; (i = s.find(',', i)) != std::string::npos; i += 2)
        s.insert(i + 1, " ");
    return s.empty() ? "none" : s;
}

struct Totals {
    uint64_t now = 0, after = 0;
    void Add(const FileForecast& f) {
        now += f.existsNow ? f.bytesNow : 0;
        after += f.existsAfter ? f.bytesAfter : 0;
    }
    std::string Text(const char* what) const {
        const std::string change = after > now ? std::to_string(after - now) + " more"
                                               : std::to_string(now - after) + " freed";
        return std::string(what) + " bytes " + std::to_string(now) + " -> " +
               std::to_string(after) + " (" + change + ")";
    }
};

}  // namespace

std::string DryRunReport(const DryRunResult& r) {
    std::string out = "Dry run: what a pass would do now; nothing was changed.\n";
    out += "Live folder " + (r.liveFolder.empty() ? std::string("(none)") : r.liveFolder);
    if (r.operations.IndexPass())
        out += ", template folder " + r.templateFolder;
    out += "; operations: " + OperationsText(r.operations) + ".\n";
    if (r.anotherPass) {
        out += "Another pass is running: no table was looked at.\n";
        return out;
    }
    if (!r.runFault.empty()) {
        out += "A pass now would stop before any table: " + r.runFault + "\n";
        return out;
    }
    if (r.templatesUnpackedFirst)
        out += "The template folder " + r.templateFolder +
               " does not exist: the pass would unpack the program's template tables there "
               "first; they are not looked at here.\n";

    const std::vector<std::string> header{"table",      "does",    "index",       "in use",
                                          "records",    "deleted", "table freed", "index freed",
                                          "memo freed", "check"};
    std::vector<std::vector<std::string>> rows;
    Totals table, index, memo;
    uint64_t deleted = 0, inUse = 0, faults = 0, looked = 0;
    for (const TableForecast& t : r.tables) {
        const bool counts = t.lookedInside && t.stops.empty();
        // "dbtool check" finds a damaged index in its damage step.
        const bool failsCheck = !t.checkFault.empty() || t.index == IndexState::Damaged;
        const auto freed = [&](const FileForecast& f) {
            return counts ? Signed(f.Freed()) : std::string("-");
        };
        rows.push_back({t.table, t.operations.empty() ? "-" : t.operations, IndexStateText(t.index),
                        !t.inLive && !t.lookedInside && !t.inUse ? "-" : (t.inUse ? "yes" : "no"),
                        t.lookedInside ? std::to_string(t.records) : "-",
                        t.lookedInside ? std::to_string(t.deleted) : "-", freed(t.tableFile),
                        freed(t.indexFile), freed(t.memoFile),
                        failsCheck ? "FAULT" : (t.lookedInside ? "ok" : "-")});
        if (counts) {
            ++looked;
            deleted += t.operations.find("pack") != std::string::npos ? t.deleted : 0;
            table.Add(t.tableFile);
            index.Add(t.indexFile);
            memo.Add(t.memoFile);
        }
        inUse += t.inUse ? 1 : 0;
        faults += failsCheck ? 1 : 0;
    }
    std::vector<size_t> widths(header.size());
    for (size_t c = 0; c < header.size(); ++c) {
        widths[c] = header[c].size();
        for (const auto& row : rows)
            widths[c] = std::max(widths[c], row[c].size());
    }
    const auto line = [&](const std::vector<std::string>& cells) {
        std::string l;
        for (size_t c = 0; c < cells.size(); ++c) {
            // Names and words to the left, figures to the right.
            const bool figure = c >= 4 && c <= 8;
            const std::string cell =
                figure ? PadLeft(cells[c], widths[c])
                       : (c + 1 == cells.size() ? cells[c] : PadRight(cells[c], widths[c]));
            l += (c == 0 ? "" : "  ") + cell;
        }
        return l + "\n";
    };
    out += line(header);
    for (const auto& row : rows)
        out += line(row);

    out += "total: " + std::to_string(r.tables.size()) + " tables; " + std::to_string(deleted) +
           " deleted records a pack would remove; " + table.Text("table") + "; " +
           index.Text("index") + "; " + memo.Text("memo") + " (over the " + std::to_string(looked) +
           " tables the pass would finish)\n";
    out +=
        std::to_string(inUse) + " in use now; " + std::to_string(faults) + " failing their check; ";
    if (const TableForecast* stop = r.StoppingTable())
        out += "a pass now would stop at " + stop->table + ": " + stop->stops + "\n";
    else
        out += "a pass now would go through\n";
    for (const TableForecast& t : r.tables) {
        if (t.inUse)
            out += t.table + ": in use: " + t.inUseBy + "\n";
        if (!t.checkFault.empty())
            out += t.table + ": check: " + t.checkFault + "\n";
        if (!t.indexFault.empty())
            out += t.table + ": index " + IndexStateText(t.index) + ": " + t.indexFault + "\n";
        if (!t.note.empty())
            out += t.table + ": " + t.note + "\n";
        if (!t.stops.empty() && t.stops != t.checkFault && t.stops != "in use: " + t.inUseBy)
            out += t.table + ": the pass would stop here: " + t.stops + "\n";
    }
    return out;
}

}  // namespace ari
