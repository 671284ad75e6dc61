#include "engine/index/MdxTable.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "engine/EngineErrors.h"
#include "engine/Progress.h"
#include "engine/format/MdxFormat.h"
#include "engine/index/MdxBuild.h"
#include "engine/index/MdxWriter.h"
#include "engine/index/ProductionIndex.h"
#include "engine/table/DbfFile.h"
#include "engine/table/FileOps.h"
#include "engine/table/TableLock.h"
#include "platform/Files.h"

namespace ari::engine {

using namespace mdx;
using ari::EqualsNoCase;

namespace {

MdxTagSpec SpecFor(const IndexTagDef& def, const TagKeyPlan& plan) {
    MdxTagSpec spec;
    spec.name = def.name;
    spec.expression = def.expression;
    spec.forExpression = def.forExpression;
    spec.keyType = plan.keyType;
    spec.keyLength = static_cast<uint16_t>(plan.keyLength);
    spec.unique = def.unique;
    spec.descending = def.descending;
    spec.plainField = !plan.key.SingleField().empty();
    return spec;
}

void BuildTag(MdxFileWriter& writer, const DbfFile& table, const IndexTagDef& def,
              ContentDigest* records) {
    const TagKeyPlan plan = PlanTag(def.name, def.expression, def.forExpression, def.unique,
                                    def.descending, table.Fields(), writer.Language());
    const MdxTagSpec spec = SpecFor(def, plan);
    auto sorter = SortTagKeys(table, plan, IndexSortMemoryBudget(), nullptr, records);
    MdxTagWriter& tw = writer.BeginTag(spec);
    WriteSortedKeys(*sorter, plan, tw);
    writer.EndTag();
}

// Builds the tags of `defs` into `writer` in order, as BuildTag after BuildTag would, with
// the key sorts of up to one tag per processor running at once: each worker plans, scans and
// sorts one tag at a time with its own expressions and read buffer, while the calling thread
// writes the tags in order as their sorts finish. What is written, the progress reports (made
// on the calling thread, each tag's loop whole and in tag order) and the error (that of the
// first tag in order that fails) are those of the one-at-a-time build. At most `workers` sorts
// are alive at once, each with that share of the sort budget, so that together they use no
// more memory than one sort alone. `records` (may be null) is fed by the first tag's scan.
class ConcurrentTagBuild {
  public:
    ConcurrentTagBuild(MdxFileWriter& writer, const DbfFile& table,
                       const std::vector<IndexTagDef>& defs, size_t workers, ContentDigest* records)
        : writer_(writer),
          table_(table),
          defs_(defs),
          records_(records),
          language_(writer.Language()),
          budget_(IndexSortMemoryBudget() / workers),
          workers_(workers),
          progress_(CurrentProgressSink()),
          tags_(defs.size()) {}

    ~ConcurrentTagBuild() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        for (auto& t : threads_)
            t.join();
    }

    void Run() {
        for (size_t i = 0; i < workers_; ++i) {
            try {
                threads_.emplace_back([this] { Work(); });
            } catch (const std::system_error&) {
                break;  // the system gives no more threads: those started do the work
            }
        }
        if (threads_.empty()) {
            // Not one thread to be had: the tags are built one after the other here.
            for (size_t i = 0; i < defs_.size(); ++i)
                BuildTag(writer_, table_, defs_[i], i == 0 ? records_ : nullptr);
            return;
        }
        for (size_t i = 0; i < defs_.size(); ++i)
            WriteTag(i);
    }

  private:
    struct Report {
        ProgressPhase phase;
        uint64_t done, total;
    };
    struct Tag {
        std::vector<Report> reports;  // the progress reports not yet passed on
        bool done = false;
        std::exception_ptr error;
        std::unique_ptr<TagKeyPlan> plan;
        std::unique_ptr<KeySorter> sorter;
    };

    // A worker: takes the next tag while fewer than `workers_` sorts are alive.
    void Work() {
        for (;;) {
            size_t i;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [&] {
                    return stop_ || next_ >= tags_.size() || next_ < released_ + workers_;
                });
                if (stop_ || next_ >= tags_.size())
                    return;
                i = next_++;
            }
            SortTag(i);
        }
    }

    void SortTag(size_t i) {
        Tag& tag = tags_[i];
        std::unique_ptr<TagKeyPlan> plan;
        std::unique_ptr<KeySorter> sorter;
        std::exception_ptr error;
        ContentDigest* const records = i == 0 ? records_ : nullptr;
        try {
            const IndexTagDef& def = defs_[i];
            plan = std::make_unique<TagKeyPlan>(PlanTag(def.name, def.expression, def.forExpression,
                                                        def.unique, def.descending, table_.Fields(),
                                                        language_));
            if (progress_) {
                const ProgressScope scope(
                    [this, &tag](ProgressPhase phase, uint64_t done, uint64_t total) {
                        {
                            const std::lock_guard<std::mutex> lock(mutex_);
                            tag.reports.push_back({phase, done, total});
                        }
                        changed_.notify_all();
                    });
                sorter = SortTagKeys(table_, *plan, budget_, &runNumbers_, records);
            } else {
                sorter = SortTagKeys(table_, *plan, budget_, &runNumbers_, records);
            }
        } catch (...) {
            error = std::current_exception();
        }
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            tag.plan = std::move(plan);
            tag.sorter = std::move(sorter);
            tag.error = error;
            tag.done = true;
        }
        changed_.notify_all();
    }

    // On the calling thread: passes on tag i's progress as its sort goes, then writes it.
    void WriteTag(size_t i) {
        Tag& tag = tags_[i];
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return tag.done || !tag.reports.empty(); });
            if (!tag.reports.empty()) {
                std::vector<Report> reports;
                reports.swap(tag.reports);
                lock.unlock();
                for (const Report& r : reports)
                    ReportProgress(progress_, r.phase, r.done, r.total);
                lock.lock();
                continue;
            }
            break;  // done, every report passed on
        }
        std::unique_ptr<TagKeyPlan> plan = std::move(tag.plan);
        std::unique_ptr<KeySorter> sorter = std::move(tag.sorter);
        const std::exception_ptr error = tag.error;
        lock.unlock();
        if (error)
            std::rethrow_exception(error);
        MdxTagWriter& tw = writer_.BeginTag(SpecFor(defs_[i], *plan));
        WriteSortedKeys(*sorter, *plan, tw);
        writer_.EndTag();
        sorter.reset();
        {
            const std::lock_guard<std::mutex> released(mutex_);
            ++released_;
        }
        changed_.notify_all();
    }

    MdxFileWriter& writer_;
    const DbfFile& table_;
    const std::vector<IndexTagDef>& defs_;
    ContentDigest* const records_;
    const uint8_t language_;
    const size_t budget_;
    const size_t workers_;
    const ProgressSink* progress_;
    std::atomic<size_t> runNumbers_{0};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Tag> tags_;
    size_t next_ = 0;      // the next tag a worker takes
    size_t released_ = 0;  // tags written and their sorts let go
    bool stop_ = false;
    std::vector<std::thread> threads_;
};

// Builds the tags of `defs` into `writer` in order: several at once where the machine has
// the processors for it. `records` (may be null) is fed by the first tag's scan.
void BuildTags(MdxFileWriter& writer, const DbfFile& table, const std::vector<IndexTagDef>& defs,
               ContentDigest* records = nullptr) {
    const size_t workers =
        std::min<size_t>(defs.size(), std::max(1u, std::thread::hardware_concurrency()));
    if (workers <= 1) {
        for (size_t i = 0; i < defs.size(); ++i)
            BuildTag(writer, table, defs[i], i == 0 ? records : nullptr);
        return;
    }
    ConcurrentTagBuild build(writer, table, defs, workers, records);
    build.Run();
}

std::string Quote(const std::string& s) {
    return "'" + s + "'";
}

// Copies the index file's pages (up to its page count) to the start of `fd`: inside the kernel
// where the file system can, else through a buffer.
void CopyPages(const MdxFile& index, FileHandle fd, const std::string& path) {
    const ScopedFd source(OpenTableFile(index.Path(), kOpenRead));
    const FileHandle in = source.Get();
    if (in < 0)
        throw EDBEngineError(kStatusIndexFault, {"Cannot read index file " + index.Path()});
    const uint64_t bytes = static_cast<uint64_t>(index.Header().totalPages) * kPageSize;
    uint64_t done = 0;
    while (done < bytes) {
        const int64_t n =
            Env::Default()->CopyRange(in, done, fd, done, static_cast<size_t>(bytes - done));
        if (n <= 0)
            break;  // not supported here, or an error: the buffered copy decides
        done += static_cast<uint64_t>(n);
    }
    std::vector<uint8_t> buf(size_t{1} << 20);
    while (done < bytes) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(buf.size(), bytes - done));
        if (ReadAt(in, done, buf.data(), want, index.Path()) != want) {
            throw EDBEngineError(kStatusIndexFault, {"Cannot read index file " + index.Path()});
        }
        WriteAllAt(fd, done, buf.data(), want, path);
        done += want;
    }
}

}  // namespace

std::vector<IndexTagDef> TagDefinitions(const MdxFile& index) {
    std::vector<IndexTagDef> defs;
    for (const auto& t : index.Tags()) {
        defs.push_back(IndexTagDef{t.name, t.expression, t.forExpression, t.unique, t.descending});
    }
    return defs;
}

std::string ValidTagName(const std::string& name) {
    std::string up;
    for (char c : name)
        up += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    bool ok =
        !up.empty() && up.size() <= kMaxTagName && std::isalpha(static_cast<unsigned char>(up[0]));
    for (char c : up)
        ok = ok && (std::isalnum(static_cast<unsigned char>(c)) || c == '_');
    if (!ok) {
        throw EDBEngineError(kStatusInvalidExpression,
                             {"Invalid tag name \"" + name +
                              "\": 1 to 10 letters, digits or '_', starting with a letter"});
    }
    return up;
}

void WriteIndexFile(FileHandle fd, const std::string& path, const DbfFile& table,
                    const std::string& baseName, uint16_t blockPages, uint8_t language,
                    const std::vector<IndexTagDef>& tags, ContentDigest* records) {
    if (tags.size() > static_cast<size_t>(kMaxTags)) {
        throw EDBEngineError(kStatusIndexFault, {"An index file holds at most 47 tags."});
    }
    MdxFileWriter writer(fd, path, baseName, blockPages, language);
    BuildTags(writer, table, tags, records);
    writer.Finish();
}

uint64_t IndexBytesOfBuild(const DbfFile& table, uint16_t blockPages, uint8_t language,
                           const std::vector<IndexTagDef>& tags, bool keptOnly,
                           const std::string& spillBeside) {
    if (tags.size() > static_cast<size_t>(kMaxTags))
        throw EDBEngineError(kStatusIndexFault, {"An index file holds at most 47 tags."});
    if (blockPages < kMinBlockPages || blockPages > kMaxBlockPages)
        throw EDBEngineError(kStatusIndexFault,
                             {"Index file of " + table.Path() + ": a block size of " +
                              std::to_string(blockPages) + " pages cannot be written."});
    struct Counted {
        TagKeyPlan plan;
        uint64_t keys = 0;
        std::unique_ptr<KeySorter> sorter;  // unique tags: their sortable keys
    };
    std::vector<Counted> counted;
    size_t uniqueTags = 0;
    for (const IndexTagDef& d : tags) {
        counted.push_back({PlanTag(d.name, d.expression, d.forExpression, d.unique, d.descending,
                                   table.Fields(), language),
                           0, nullptr});
        uniqueTags += d.unique ? 1 : 0;
    }
    std::atomic<size_t> runNumbers{0};
    for (Counted& c : counted)
        if (c.plan.unique)
            c.sorter = std::make_unique<KeySorter>(c.plan.SortLength(),
                                                   IndexSortMemoryBudget() / uniqueTags,
                                                   spillBeside, &runNumbers);
    size_t longest = 0;
    for (const Counted& c : counted)
        longest = std::max(longest, std::max(c.plan.keyLength, c.plan.SortLength()));
    std::vector<uint8_t> key(longest), sortable(longest);
    DbfFile::Scanner scan(table);
    RecordRef ref;
    ref.length = table.RecordLength();
    uint32_t number = 0;
    while (const uint8_t* rec = scan.Next()) {
        if (keptOnly && rec[0] == dbf::kDeletedFlag)
            continue;
        ref.data = rec;
        ref.recno = keptOnly ? ++number : scan.RecNo();
        for (Counted& c : counted) {
            if (c.plan.filter && !c.plan.filter->Test(ref))
                continue;
            // Evaluated as the build evaluates it, so that a key the build cannot make fails here.
            c.plan.key.EvaluateKey(ref, key.data());
            if (c.sorter) {
                MakeSortableKey(c.plan.keyType, key.data(), c.plan.keyLength, c.plan.descending,
                                sortable.data(), c.plan.language);
                c.sorter->Add(sortable.data());
            } else {
                ++c.keys;
            }
        }
    }
    std::vector<TagShape> shapes;
    for (Counted& c : counted) {
        if (c.sorter) {
            c.sorter->Finish();
            const size_t length = c.plan.SortLength();
            std::vector<uint8_t> last(length);
            while (const uint8_t* e = c.sorter->Next()) {
                if (c.keys == 0 || std::memcmp(last.data(), e, length) != 0)
                    ++c.keys;
                std::memcpy(last.data(), e, length);
            }
        }
        shapes.push_back({c.keys, c.plan.keyLength});
    }
    return IndexFileBytes(blockPages, shapes);
}

bool KeysCarryOver(const MdxFile& index, const DbfFile& table) {
    for (const MdxTag& t : index.Tags()) {
        if (t.unique)
            return false;  // a removed first record of a value lets the next one in
        try {
            const TagKeyPlan plan = PlanTag(t.name, t.expression, t.forExpression, t.unique,
                                            t.descending, table.Fields(), index.Header().language);
            if (plan.key.DependsOnRecordPlace() ||
                (plan.filter && plan.filter->DependsOnRecordPlace()) || plan.keyType != t.keyType ||
                plan.keyLength != t.keyLength) {
                return false;
            }
        } catch (const EDBEngineError&) {
            return false;
        }
    }
    return true;
}

void WriteIndexFileFromKeys(FileHandle fd, const std::string& path, const DbfFile& table,
                            const MdxFile& old, const KeptRecords& kept) {
    const MdxHeader& h = old.Header();
    MdxFileWriter writer(fd, path, h.baseName, h.blockPages, h.language);
    const ProgressSink* progress = CurrentProgressSink();
    const uint64_t total = table.RecordCount();
    for (const MdxTag& tag : old.Tags()) {
        const IndexTagDef def{tag.name, tag.expression, tag.forExpression, tag.unique,
                              tag.descending};
        const TagKeyPlan plan = PlanTag(def.name, def.expression, def.forExpression, def.unique,
                                        def.descending, table.Fields(), h.language);
        MdxTagWriter& tw = writer.BeginTag(SpecFor(def, plan));
        uint64_t written = 0;
        ReportProgress(progress, ProgressPhase::Renumbering, 0, total);
        old.Walk(tag, [&](const uint8_t* key, uint32_t recno) {
            if (!kept.Kept(recno))
                return;
            tw.Add(key, kept.NewNumber(recno));
            if (progress && ++written % kProgressEveryRecords == 0)
                ReportProgress(progress, ProgressPhase::Renumbering, std::min(written, total),
                               total);
        });
        ReportProgress(progress, ProgressPhase::Renumbering, total, total);
        writer.EndTag();
    }
    writer.Finish();
}

void AppendTagsToCopy(FileHandle fd, const std::string& path, const MdxFile& index,
                      const DbfFile& table, const std::vector<IndexTagDef>& tags) {
    CopyPages(index, fd, path);
    MdxFileWriter writer(fd, path, index.HeaderArea());
    BuildTags(writer, table, tags);
    writer.Finish();
}

void CheckNewTag(const IndexTagDef& tag, const std::vector<std::string>& names,
                 const DbfFile& table, uint8_t language, const std::string& indexPath) {
    if (names.size() >= static_cast<size_t>(kMaxTags)) {
        throw EDBEngineError(kStatusIndexFault, {"Index file " + indexPath +
                                                 " already holds 47 tags; no tag can be added."});
    }
    for (const auto& n : names) {
        if (EqualsNoCase(n, tag.name)) {
            throw EDBEngineError(kStatusIndexFault, {"Index file " + indexPath +
                                                     " already has a tag named " + tag.name + "."});
        }
    }
    PlanTag(tag.name, tag.expression, tag.forExpression, tag.unique, tag.descending, table.Fields(),
            language);
}

std::vector<std::string> CheckIndexFile(const DbfFile& table, const std::string& mdxPath,
                                        size_t maxFaultsPerTag) {
    std::vector<std::string> faults;
    std::unique_ptr<MdxFile> index;
    try {
        index = std::make_unique<MdxFile>(mdxPath);
    } catch (const EDBEngineError& e) {
        faults.push_back(e.Message());
        return faults;
    }
    const MdxHeader& h = index->Header();
    const std::string file = "Index file " + mdxPath + ": ";
    if (static_cast<uint64_t>(h.totalPages) * kPageSize != index->FileSize()) {
        faults.push_back(file + "header counts " + std::to_string(h.totalPages) +
                         " pages, the file has " + std::to_string(index->FileSize()) + " bytes");
    }
    if (h.tagsInUse < 1)
        faults.push_back(file + "no tags");
    if (h.language != table.LanguageDriver()) {
        faults.push_back(file + "language driver " + std::to_string(h.language) +
                         " differs from the table's " + std::to_string(table.LanguageDriver()));
    }
    std::vector<bool> seen(h.totalPages, false);
    for (uint32_t p = 0; p < kFirstDataPage && p < h.totalPages; ++p)
        seen[p] = true;
    auto mark = [&](uint32_t page, const std::string& what) {
        for (uint32_t p = page; p < page + h.blockPages && p < h.totalPages; ++p) {
            if (seen[p]) {
                faults.push_back(file + what + " uses page " + std::to_string(p) +
                                 " that is in use elsewhere");
                return;
            }
            seen[p] = true;
        }
    };
    for (const auto& t : index->Tags())
        mark(t.headerPage, "header block of tag " + t.name);
    try {
        for (uint32_t p : index->FreePages())
            mark(p, "free list");
    } catch (const EDBEngineError& e) {
        faults.push_back(e.Message());
    }

    struct Stop {};
    for (const auto& t : index->Tags()) {
        const std::string where = "Tag " + t.name + ": ";
        std::unique_ptr<TagKeyPlan> plan;
        try {
            plan = std::make_unique<TagKeyPlan>(PlanTag(t.name, t.expression, t.forExpression,
                                                        t.unique, t.descending, table.Fields(),
                                                        h.language));
        } catch (const EDBEngineError& e) {
            faults.push_back(where + e.Message());
            continue;
        }
        if (plan->keyType != t.keyType || plan->keyLength != t.keyLength) {
            faults.push_back(where + "key type " + std::string(1, static_cast<char>(t.keyType)) +
                             " of " + std::to_string(t.keyLength) +
                             " bytes, but its expression gives " +
                             std::string(1, static_cast<char>(plan->keyType)) + " of " +
                             std::to_string(plan->keyLength) + " bytes");
            continue;
        }
        std::unique_ptr<KeySorter> expected;
        try {
            expected = SortTagKeys(table, *plan, IndexSortMemoryBudget());
        } catch (const Exception& e) {
            faults.push_back(where + e.Message());
            continue;
        }
        const size_t sortLen = plan->SortLength();
        const size_t entrySize = sortLen + 4;
        std::vector<uint8_t> entry(entrySize), previous(entrySize), key(t.keyLength);
        bool havePrevious = false;
        size_t tagFaults = 0;
        auto fault = [&](const std::string& what) {
            faults.push_back(where + what);
            if (++tagFaults >= maxFaultsPerTag)
                throw Stop{};
        };
        auto keyText = [&](const uint8_t* sortable) {
            std::vector<uint8_t> stored(t.keyLength);
            StoredKeyFromSortable(t.keyType, sortable, t.keyLength, t.descending, stored.data(),
                                  h.language);
            return Quote(KeyDisplayText(t.keyType, stored.data(), t.keyLength));
        };
        // Expected entries, without the repeats a unique tag leaves out. Files hold the empty
        // date under more than one value (Key.h), so in a date tag the entries of empty dates
        // are set aside on both sides and compared by record afterwards; the stored ones still
        // take part in the order check.
        const bool dateTag = t.keyType == KeyType::Date;
        auto blankDate = [&](const uint8_t* bytes) {
            return dateTag && IsBlankDateKey(DateKeyValue(bytes));
        };
        std::vector<uint32_t> expectedBlank;
        std::vector<std::pair<uint32_t, std::vector<uint8_t>>> storedBlank;
        TagEntries expectedEntries(*expected, *plan);
        auto nextWant = [&]() -> const uint8_t* {
            for (;;) {
                const uint8_t* w = expectedEntries.Next();
                if (!w || !dateTag)
                    return w;
                uint8_t k[kDateKeyLength];
                StoredKeyFromSortable(t.keyType, w, t.keyLength, t.descending, k, h.language);
                if (!blankDate(k))
                    return w;
                expectedBlank.push_back(EntryRecno(w, sortLen));
            }
        };
        const uint8_t* want = nextWant();
        std::vector<uint8_t> record(table.RecordLength());
        auto explainExtra = [&](uint32_t recno, const uint8_t* storedKey) {
            const std::string shown = Quote(KeyDisplayText(t.keyType, storedKey, t.keyLength));
            if (recno == 0 || recno > table.RecordCount()) {
                fault("entry with key " + shown + " points to record " + std::to_string(recno) +
                      ", the table has " + std::to_string(table.RecordCount()) + " records");
                return;
            }
            table.ReadRecord(recno, record.data());
            RecordRef ref{record.data(), record.size(), recno};
            if (plan->filter && !plan->filter->Test(ref)) {
                fault("record " + std::to_string(recno) +
                      " is in the tag but its FOR condition excludes it");
                return;
            }
            plan->key.EvaluateKey(ref, key.data());
            std::vector<uint8_t> a(sortLen), b(sortLen);
            MakeSortableKey(t.keyType, key.data(), t.keyLength, false, a.data(), h.language);
            MakeSortableKey(t.keyType, storedKey, t.keyLength, false, b.data(), h.language);
            const bool bothBlank = blankDate(key.data()) && blankDate(storedKey);
            if (a != b && !bothBlank) {
                fault("record " + std::to_string(recno) + " has key " + shown +
                      " in the index, but its expression gives " +
                      Quote(KeyDisplayText(t.keyType, key.data(), t.keyLength)));
                return;
            }
            fault("record " + std::to_string(recno) + " with key " + shown +
                  (plan->unique ? " is not the first record of its value in a unique tag"
                                : " appears more than once"));
        };
        try {
            index->Walk(
                t,
                [&](const uint8_t* stored, uint32_t recno) {
                    MakeSortableKey(t.keyType, stored, t.keyLength, t.descending, entry.data(),
                                    h.language);
                    PutEntryRecno(entry.data(), sortLen, recno);
                    if (havePrevious) {
                        const int c = std::memcmp(previous.data(), entry.data(), entrySize);
                        if (c > 0) {
                            fault("keys out of order: record " + std::to_string(recno) +
                                  " with key " + keyText(entry.data()) + " follows record " +
                                  std::to_string(EntryRecno(previous.data(), sortLen)) +
                                  " with key " + keyText(previous.data()));
                        }
                    }
                    previous = entry;
                    havePrevious = true;
                    if (blankDate(stored)) {
                        storedBlank.emplace_back(
                            recno, std::vector<uint8_t>(stored, stored + t.keyLength));
                        return;
                    }
                    while (want && std::memcmp(want, entry.data(), entrySize) < 0) {
                        fault("record " + std::to_string(EntryRecno(want, sortLen)) + " with key " +
                              keyText(want) + " is missing");
                        want = nextWant();
                    }
                    if (want && std::memcmp(want, entry.data(), entrySize) == 0) {
                        want = nextWant();
                        return;
                    }
                    explainExtra(recno, stored);
                },
                &seen);
            while (want) {
                fault("record " + std::to_string(EntryRecno(want, sortLen)) + " with key " +
                      keyText(want) + " is missing");
                want = nextWant();
            }
            // Empty dates: each expected record once, whichever spelling the file uses.
            std::sort(storedBlank.begin(), storedBlank.end());
            // Both lists ascend: equal keys are sorted by record number in either direction.
            size_t k = 0;
            for (uint32_t recno : expectedBlank) {
                while (k < storedBlank.size() && storedBlank[k].first < recno) {
                    explainExtra(storedBlank[k].first, storedBlank[k].second.data());
                    ++k;
                }
                if (k < storedBlank.size() && storedBlank[k].first == recno) {
                    ++k;
                } else {
                    fault("record " + std::to_string(recno) + " with key " +
                          Quote(std::string(kDateKeyLength, ' ')) + " is missing");
                }
            }
            for (; k < storedBlank.size(); ++k)
                explainExtra(storedBlank[k].first, storedBlank[k].second.data());
        } catch (const Stop&) {
        } catch (const EDBEngineError& e) {
            faults.push_back(where + e.Message());
        }
    }
    return faults;
}

}  // namespace ari::engine
