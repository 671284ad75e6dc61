#include "engine/MdxBuild.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "engine/DbfFile.h"
#include "engine/EngineErrors.h"
#include "engine/FileOps.h"
#include "engine/MdxFormat.h"
#include "engine/MdxWriter.h"
#include "engine/TableFiles.h"

namespace ari::engine {

using mdx::kStatusIndexFault;

namespace {

std::atomic<size_t> gBudget{size_t{256} << 20};
constexpr size_t kMinEntriesInMemory = 4096;
constexpr size_t kRunWriteBuffer = size_t{1} << 20;
constexpr size_t kMinMergeBuffer = size_t{64} << 10;

uint64_t Prefix(const uint8_t* e, size_t size) {
    uint64_t p = 0;
    for (size_t i = 0; i < 8; ++i) p = (p << 8) | (i < size ? e[i] : 0);
    return p;
}

void PutBE32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

uint32_t GetBE32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

}  // namespace

size_t IndexSortMemoryBudget() { return gBudget.load(); }
void SetIndexSortMemoryBudget(size_t bytes) { gBudget.store(bytes); }

// One sorted run on disk and its read window.
struct KeySorter::Run {
    std::unique_ptr<TemporaryFile> file;
    uint64_t entries = 0;
    uint64_t consumed = 0;  // entries taken from the window so far
    uint64_t loaded = 0;    // entries read into the window so far
    std::vector<uint8_t> window;
    size_t windowEntries = 0, windowPos = 0;
};

KeySorter::KeySorter(size_t entrySize, size_t memoryBudget, std::string spillBeside)
    : entrySize_(entrySize), spillBeside_(std::move(spillBeside)) {
    capacity_ = std::max(kMinEntriesInMemory, memoryBudget / (entrySize_ + sizeof(Ref)));
    mergeBufferBytes_ = memoryBudget;
}

KeySorter::~KeySorter() = default;

void KeySorter::Add(const uint8_t* entry) {
    if (refs_.size() == capacity_) Spill();
    const uint32_t index = static_cast<uint32_t>(refs_.size());
    data_.insert(data_.end(), entry, entry + entrySize_);
    refs_.push_back(Ref{Prefix(entry, entrySize_), index});
}

void KeySorter::SortBuffer() {
    const uint8_t* base = data_.data();
    const size_t size = entrySize_;
    std::sort(refs_.begin(), refs_.end(), [base, size](const Ref& a, const Ref& b) {
        if (a.prefix != b.prefix) return a.prefix < b.prefix;
        if (size <= 8) return false;
        return std::memcmp(base + size_t{a.index} * size + 8, base + size_t{b.index} * size + 8,
                           size - 8) < 0;
    });
}

void KeySorter::Spill() {
    if (refs_.empty()) return;
    SortBuffer();
    auto run = std::make_unique<Run>();
    run->file = std::make_unique<TemporaryFile>(spillBeside_, "sort" + std::to_string(runs_.size()));
    std::vector<uint8_t> buf;
    buf.reserve(kRunWriteBuffer + entrySize_);
    for (const Ref& r : refs_) {
        const uint8_t* e = data_.data() + size_t{r.index} * entrySize_;
        buf.insert(buf.end(), e, e + entrySize_);
        if (buf.size() >= kRunWriteBuffer) {
            WriteAll(run->file->Fd(), buf.data(), buf.size(), run->file->Path());
            buf.clear();
        }
    }
    if (!buf.empty()) WriteAll(run->file->Fd(), buf.data(), buf.size(), run->file->Path());
    run->entries = refs_.size();
    runs_.push_back(std::move(run));
    refs_.clear();
    data_.clear();
}

void KeySorter::Finish() {
    finished_ = true;
    if (runs_.empty()) {
        SortBuffer();
        memPos_ = 0;
        return;
    }
    Spill();
    data_ = std::vector<uint8_t>();
    refs_ = std::vector<Ref>();
    // Share the budget between the runs' read windows.
    const size_t perRun = std::max(kMinMergeBuffer, mergeBufferBytes_ / runs_.size());
    windowEntries_ = std::max<size_t>(1, perRun / entrySize_);
    for (auto& r : runs_) Refill(*r);
    heap_.clear();
    for (size_t i = 0; i < runs_.size(); ++i) {
        if (runs_[i]->windowEntries > 0) heap_.push_back(i);
    }
    auto cmp = [this](size_t a, size_t b) { return RunAfter(a, b); };
    std::make_heap(heap_.begin(), heap_.end(), cmp);
    memPos_ = 0;
}

void KeySorter::Refill(Run& r) {
    const uint64_t left = r.entries - r.loaded;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, windowEntries_));
    r.window.resize(n * entrySize_);
    if (n) {
        const size_t got = ReadAt(r.file->Fd(), r.loaded * entrySize_, r.window.data(),
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
    return std::memcmp(ra.window.data() + ra.windowPos * entrySize_,
                       rb.window.data() + rb.windowPos * entrySize_, entrySize_) > 0;
}

const uint8_t* KeySorter::Next() {
    if (runs_.empty()) {
        if (memPos_ >= refs_.size()) return nullptr;
        return data_.data() + size_t{refs_[memPos_++].index} * entrySize_;
    }
    auto cmp = [this](size_t a, size_t b) { return RunAfter(a, b); };
    // The entry handed out last time is consumed now (its window stayed valid until this call).
    if (memPos_ != 0) {
        const size_t i = memPos_ - 1;
        Run& r = *runs_[i];
        if (++r.windowPos == r.windowEntries) Refill(r);
        if (r.windowEntries > 0) {
            heap_.push_back(i);
            std::push_heap(heap_.begin(), heap_.end(), cmp);
        }
        memPos_ = 0;
    }
    if (heap_.empty()) return nullptr;
    std::pop_heap(heap_.begin(), heap_.end(), cmp);
    const size_t i = heap_.back();
    heap_.pop_back();
    memPos_ = i + 1;
    const Run& r = *runs_[i];
    return r.window.data() + r.windowPos * entrySize_;
}

TagKeyPlan PlanTag(const std::string& name, const std::string& keyExpression,
                   const std::string& forExpression, bool unique, bool descending,
                   const std::vector<FieldDef>& fields) {
    TagKeyPlan plan{name, Expression::Parse(keyExpression, fields), nullptr};
    plan.keyType = plan.key.KeyTypeOf();
    plan.keyLength = plan.key.KeyLength();
    plan.unique = unique;
    plan.descending = descending;
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
                                       size_t memoryBudget) {
    const size_t sortLen = plan.SortLength();
    const size_t entrySize = sortLen + 4;
    auto sorter = std::make_unique<KeySorter>(entrySize, memoryBudget, table.Path());
    std::vector<uint8_t> key(plan.keyLength), entry(entrySize);
    DbfFile::Scanner scan(table);
    RecordRef ref;
    ref.length = table.RecordLength();
    while (const uint8_t* rec = scan.Next()) {
        ref.data = rec;
        ref.recno = scan.RecNo();
        if (plan.filter && !plan.filter->Test(ref)) continue;
        plan.key.EvaluateKey(ref, key.data());
        MakeSortableKey(plan.keyType, key.data(), plan.keyLength, plan.descending, entry.data());
        PutBE32(entry.data() + sortLen, ref.recno);
        sorter->Add(entry.data());
    }
    sorter->Finish();
    return sorter;
}

uint64_t WriteSortedKeys(KeySorter& sorter, const TagKeyPlan& plan, MdxTagWriter& writer) {
    const size_t sortLen = plan.SortLength();
    std::vector<uint8_t> key(plan.keyLength), previous(sortLen);
    bool havePrevious = false;
    uint64_t written = 0;
    while (const uint8_t* e = sorter.Next()) {
        if (plan.unique) {
            if (havePrevious && std::memcmp(previous.data(), e, sortLen) == 0) continue;
            std::memcpy(previous.data(), e, sortLen);
            havePrevious = true;
        }
        StoredKeyFromSortable(plan.keyType, e, plan.keyLength, plan.descending, key.data());
        writer.Add(key.data(), GetBE32(e + sortLen));
        ++written;
    }
    return written;
}

}  // namespace ari::engine
