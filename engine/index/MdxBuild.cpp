#include "engine/index/MdxBuild.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <utility>

#include "engine/EngineErrors.h"
#include "engine/Progress.h"
#include "engine/expr/KeyCollation.h"
#include "engine/format/MdxFormat.h"
#include "engine/index/BuiltIndexes.h"
#include "engine/index/MdxWriter.h"
#include "engine/table/DbfFile.h"
#include "engine/table/FileOps.h"
#include "engine/table/TableFiles.h"

namespace ari::engine {

using mdx::kStatusIndexFault;

namespace {

std::atomic<size_t> gBudget{size_t{256} << 20};
constexpr size_t kMinEntriesInMemory = 4096;
constexpr size_t kMinMergeBuffer = size_t{64} << 10;

}  // namespace

size_t IndexSortMemoryBudget() {
    return gBudget.load();
}
void SetIndexSortMemoryBudget(size_t bytes) {
    gBudget.store(bytes);
}

// One sorted run on disk and its read window.
struct KeySorter::Run {
    std::unique_ptr<TemporaryFile> file;
    uint64_t entries = 0;
    uint64_t consumed = 0;  // entries taken from the window so far
    uint64_t loaded = 0;    // entries read into the window so far
    std::vector<uint8_t> window;
    size_t windowEntries = 0, windowPos = 0;
};

KeySorter::KeySorter(size_t entrySize, size_t memoryBudget, std::string spillBeside,
                     std::atomic<size_t>* runNumbers)
    : entrySize_(entrySize),
      stride_((entrySize + 7) & ~size_t{7}),
      spillBeside_(std::move(spillBeside)),
      runNumbers_(runNumbers) {
    capacity_ = std::max(kMinEntriesInMemory, memoryBudget / stride_);
    mergeBufferBytes_ = memoryBudget;
}

KeySorter::~KeySorter() = default;

void KeySorter::Reserve(size_t entries) {
    data_.reserve(std::min(entries, capacity_) * stride_);
}

void KeySorter::Add(const uint8_t* entry) {
    if (count_ == capacity_)
        Spill();
    const size_t at = data_.size();
    data_.resize(at + stride_);  // the padding stays zero: equal in every entry, order unchanged
    std::memcpy(data_.data() + at, entry, entrySize_);
    ++count_;
    ++added_;
}

namespace {

// Entries sorted in place as fixed-size values: the compiler sees the size, so the
// comparison is a few word compares and the moves are plain copies.
template <size_t N>
struct Blob {
    uint8_t bytes[N];
};

// The 8 bytes at `p` as a big-endian number: numbers compare as memcmp compares the bytes.
inline uint64_t BigEndianWord(const uint8_t* p) {
    uint64_t w;
    std::memcpy(&w, p, sizeof w);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    w = __builtin_bswap64(w);
#endif
    return w;
}

// memcmp(a, b, N) < 0, a word at a time. REQUIRES: N a multiple of 8.
template <size_t N>
inline bool BlobLess(const Blob<N>& a, const Blob<N>& b) {
    static_assert(N % 8 == 0, "entries are padded to whole words");
    for (size_t i = 0; i < N; i += 8) {
        const uint64_t x = BigEndianWord(a.bytes + i), y = BigEndianWord(b.bytes + i);
        if (x != y)
            return x < y;
    }
    return false;
}

// Buckets smaller than this are finished by comparison.
constexpr size_t kRadixCutoff = 48;

// Sorts `a[0, n)`, whose entries agree on their first `depth` bytes, in place: one byte at a
// time from the most significant, each entry moved straight to its bucket (no second buffer,
// so the sort stays within the memory the entries take), buckets sorted in turn; a byte that
// all entries share costs one counting pass and no moves. With `sorted`, tells it how many
// entries from the start are in their final place each time a bucket of the first byte that
// tells entries apart is sorted.
template <size_t N>
void RadixSortBlobs(Blob<N>* a, size_t n, size_t depth, const SortedSink* sorted = nullptr) {
    for (;;) {
        if (n < kRadixCutoff) {
            std::sort(a, a + n, BlobLess<N>);
            return;
        }
        if (depth == N)
            return;  // every byte equal
        // start[b], start[b + 1]: bucket b's bounds; next[b]: its first entry not yet placed.
        size_t start[257] = {}, next[256];
        for (size_t i = 0; i < n; ++i)
            ++start[a[i].bytes[depth] + 1];
        if (start[a[0].bytes[depth] + 1] == n) {
            ++depth;
            continue;
        }
        for (size_t b = 0; b < 256; ++b) {
            start[b + 1] += start[b];
            next[b] = start[b];
        }
        // Each entry not yet in its bucket is swapped there; the one it displaces goes next.
        for (size_t b = 0; b < 256; ++b) {
            while (next[b] < start[b + 1]) {
                Blob<N> v = a[next[b]];
                uint8_t d = v.bytes[depth];
                while (d != b) {
                    std::swap(v, a[next[d]++]);
                    d = v.bytes[depth];
                }
                a[next[b]++] = v;
            }
        }
        for (size_t b = 0; b < 256; ++b) {
            if (start[b + 1] - start[b] > 1)
                RadixSortBlobs(a + start[b], start[b + 1] - start[b], depth + 1);
            if (sorted && start[b + 1] > start[b])
                (*sorted)(start[b + 1]);
        }
        return;
    }
}

template <size_t N>
void SortBlobs(uint8_t* data, size_t count, const SortedSink* sorted) {
    RadixSortBlobs(reinterpret_cast<Blob<N>*>(data), count, 0, sorted);
}

template <size_t... Ns>
void SortByStride(size_t stride, uint8_t* data, size_t count, const SortedSink* sorted,
                  std::index_sequence<Ns...>) {
    // Strides 8, 16, ..., 8 * sizeof...(Ns).
    ((stride == 8 * (Ns + 1) ? (SortBlobs<8 * (Ns + 1)>(data, count, sorted), true) : false) ||
     ...);
}

}  // namespace

void KeySorter::SortBuffer(const SortedSink* sorted) {
    // Longest entry: a 100-byte key and the record number, padded: 104 bytes, 13 strides.
    SortByStride(stride_, data_.data(), count_, sorted, std::make_index_sequence<13>{});
}

void KeySorter::Spill(const SortedSink* sorted) {
    if (count_ == 0)
        return;
    SortBuffer(sorted);
    auto run = std::make_unique<Run>();
    const size_t number = runNumbers_ ? runNumbers_->fetch_add(1) : runs_.size();
    run->file = std::make_unique<TemporaryFile>(spillBeside_, SortRunPurpose(number));
    WriteAll(run->file->Fd(), data_.data(), count_ * stride_, run->file->Path());
    run->entries = count_;
    runs_.push_back(std::move(run));
    data_.clear();
    count_ = 0;
}

void KeySorter::Finish(const ProgressSink* progress) {
    finished_ = true;
    // The entries in memory are what is left to sort: those of the runs were sorted as they
    // were spilled.
    const uint64_t before = added_ - count_;
    uint64_t reported = before;
    const SortedSink report = [&](size_t sorted) {
        if (before + sorted >= reported + kProgressEveryRecords && before + sorted < added_) {
            reported = before + sorted;
            ReportProgress(progress, ProgressPhase::Sorting, reported, added_);
        }
    };
    const SortedSink* sorted = progress ? &report : nullptr;
    if (runs_.empty()) {
        SortBuffer(sorted);
        memPos_ = 0;
        return;
    }
    Spill(sorted);
    data_ = std::vector<uint8_t>();
    // Share the budget between the runs' read windows.
    const size_t perRun = std::max(kMinMergeBuffer, mergeBufferBytes_ / runs_.size());
    windowEntries_ = std::max<size_t>(1, perRun / stride_);
    for (auto& r : runs_)
        Refill(*r);
    heap_.clear();
    for (size_t i = 0; i < runs_.size(); ++i) {
        if (runs_[i]->windowEntries > 0)
            heap_.push_back(i);
    }
    auto cmp = [this](size_t a, size_t b) { return RunAfter(a, b); };
    std::make_heap(heap_.begin(), heap_.end(), cmp);
    memPos_ = 0;
}

void KeySorter::Refill(Run& r) {
    const uint64_t left = r.entries - r.loaded;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, windowEntries_));
    r.window.resize(n * stride_);
    if (n) {
        const size_t got = ReadAt(r.file->Fd(), r.loaded * stride_, r.window.data(),
                                  r.window.size(), r.file->Path());
        if (got != r.window.size()) {
            throw EDBEngineError(kStatusIndexFault, {"Sort run " + r.file->Path() + " is short."});
        }
    }
    r.loaded += n;
    r.windowEntries = n;
    r.windowPos = 0;
}

bool KeySorter::RunAfter(size_t a, size_t b) const {
    const Run& ra = *runs_[a];
    const Run& rb = *runs_[b];
    return std::memcmp(ra.window.data() + ra.windowPos * stride_,
                       rb.window.data() + rb.windowPos * stride_, entrySize_) > 0;
}

const uint8_t* KeySorter::Next() {
    if (runs_.empty()) {
        if (memPos_ >= count_)
            return nullptr;
        return data_.data() + (memPos_++) * stride_;
    }
    auto cmp = [this](size_t a, size_t b) { return RunAfter(a, b); };
    // The entry handed out last time is consumed now (its window stayed valid until this call).
    if (memPos_ != 0) {
        const size_t i = memPos_ - 1;
        Run& r = *runs_[i];
        if (++r.windowPos == r.windowEntries)
            Refill(r);
        if (r.windowEntries > 0) {
            heap_.push_back(i);
            std::push_heap(heap_.begin(), heap_.end(), cmp);
        }
        memPos_ = 0;
    }
    if (heap_.empty())
        return nullptr;
    std::pop_heap(heap_.begin(), heap_.end(), cmp);
    const size_t i = heap_.back();
    heap_.pop_back();
    memPos_ = i + 1;
    const Run& r = *runs_[i];
    return r.window.data() + r.windowPos * stride_;
}

TagKeyPlan PlanTag(const std::string& name, const std::string& keyExpression,
                   const std::string& forExpression, bool unique, bool descending,
                   const std::vector<FieldDef>& fields, uint8_t language) {
    TagKeyPlan plan{name, Expression::Parse(keyExpression, fields), nullptr};
    plan.keyType = plan.key.KeyTypeOf();
    plan.keyLength = plan.key.KeyLength();
    plan.unique = unique;
    plan.descending = descending;
    plan.language = language;
    if (plan.keyType == KeyType::Character && !CollationKnown(language)) {
        char id[8];
        std::snprintf(id, sizeof id, "0x%02X", language);
        throw EDBEngineError(
            kStatusUnknownCollation,
            {"Tag " + name + ": the order of character keys under language driver " + id +
             " is not known to this engine; the tag is not written"});
    }
    if (!forExpression.empty()) {
        plan.filter = std::make_unique<Expression>(Expression::Parse(forExpression, fields));
        if (plan.filter->Type() != ExprType::Logical) {
            throw EDBEngineError(kStatusInvalidExpression,
                                 {"Invalid FOR condition \"" + forExpression + "\" of tag " + name +
                                  ": it is not a logical expression"});
        }
    }
    return plan;
}

std::unique_ptr<KeySorter> SortTagKeys(const DbfFile& table, const TagKeyPlan& plan,
                                       size_t memoryBudget, std::atomic<size_t>* runNumbers,
                                       ContentDigest* records) {
    const size_t sortLen = plan.SortLength();
    const size_t entrySize = sortLen + 4;
    auto sorter = std::make_unique<KeySorter>(entrySize, memoryBudget, table.Path(), runNumbers);
    sorter->Reserve(table.RecordCount());
    std::vector<uint8_t> key(plan.keyLength), entry(entrySize);
    DbfFile::Scanner scan(table);
    RecordRef ref;
    ref.length = table.RecordLength();
    const ProgressSink* progress = CurrentProgressSink();
    const uint64_t total = table.RecordCount();
    ReportProgress(progress, ProgressPhase::Reading, 0, total);
    while (const uint8_t* rec = scan.Next()) {
        ref.data = rec;
        ref.recno = scan.RecNo();
        if (records)
            records->Add(rec, ref.length);
        if (progress && ref.recno % kProgressEveryRecords == 0)
            ReportProgress(progress, ProgressPhase::Reading, ref.recno, total);
        if (plan.filter && !plan.filter->Test(ref))
            continue;
        plan.key.EvaluateKey(ref, key.data());
        MakeSortableKey(plan.keyType, key.data(), plan.keyLength, plan.descending, entry.data(),
                        plan.language);
        PutEntryRecno(entry.data(), sortLen, ref.recno);
        sorter->Add(entry.data());
    }
    ReportProgress(progress, ProgressPhase::Reading, total, total);
    const uint64_t keys = sorter->Count();
    ReportProgress(progress, ProgressPhase::Sorting, 0, keys);
    sorter->Finish(progress);
    ReportProgress(progress, ProgressPhase::Sorting, keys, keys);
    return sorter;
}

TagEntries::TagEntries(KeySorter& sorter, const TagKeyPlan& plan)
    : sorter_(sorter), unique_(plan.unique), lastKey_(plan.SortLength()) {}

const uint8_t* TagEntries::Next() {
    for (;;) {
        const uint8_t* e = sorter_.Next();
        if (e)
            ++taken_;
        if (!e || !unique_)
            return e;
        if (haveLast_ && std::memcmp(lastKey_.data(), e, lastKey_.size()) == 0)
            continue;
        std::memcpy(lastKey_.data(), e, lastKey_.size());
        haveLast_ = true;
        return e;
    }
}

void WriteSortedKeys(KeySorter& sorter, const TagKeyPlan& plan, MdxTagWriter& writer) {
    const size_t sortLen = plan.SortLength();
    std::vector<uint8_t> key(plan.keyLength);
    TagEntries entries(sorter, plan);
    const ProgressSink* progress = CurrentProgressSink();
    const uint64_t total = sorter.Count();
    ReportProgress(progress, ProgressPhase::Writing, 0, total);
    uint64_t reported = 0;
    while (const uint8_t* e = entries.Next()) {
        if (progress && entries.Taken() >= reported + kProgressEveryRecords) {
            reported = entries.Taken();
            ReportProgress(progress, ProgressPhase::Writing, reported, total);
        }
        StoredKeyFromSortable(plan.keyType, e, plan.keyLength, plan.descending, key.data(),
                              plan.language);
        writer.Add(key.data(), EntryRecno(e, sortLen));
    }
    ReportProgress(progress, ProgressPhase::Writing, total, total);
}

}  // namespace ari::engine
