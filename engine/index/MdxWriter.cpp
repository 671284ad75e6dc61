#include "engine/index/MdxWriter.h"

#include <cstring>

#include "engine/EngineErrors.h"
#include "engine/format/MdxFormat.h"
#include "engine/table/DbfFile.h"
#include "engine/table/FileOps.h"

namespace ari::engine {

using namespace mdx;

namespace {

constexpr size_t kOutputBufferBytes = size_t{4} << 20;

std::string UpperAscii(std::string s) {
    for (auto& c : s) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
}

std::string SlotName(const uint8_t* slot) {
    size_t n = 0;
    while (n < kSlotNameSize && slot[kSlotName + n] != 0)
        ++n;
    return std::string(reinterpret_cast<const char*>(slot + kSlotName), n);
}

}  // namespace

std::vector<NameTreeLinks> ComputeNameTree(const std::vector<std::string>& names) {
    std::vector<NameTreeLinks> links(names.size());
    auto padded = [&](size_t i) {
        std::string s = names[i].substr(0, kSlotNameSize);
        s.resize(kSlotNameSize, '\0');
        return s;
    };
    for (size_t k = 1; k < names.size(); ++k) {
        const std::string name = padded(k);
        size_t cur = 0;
        for (;;) {
            const bool lower = std::memcmp(name.data(), padded(cur).data(), kSlotNameSize) < 0;
            uint8_t& next = lower ? links[cur].left : links[cur].right;
            if (next == 0) {
                next = static_cast<uint8_t>(k + 1);
                links[k].parent = static_cast<uint8_t>(cur + 1);
                break;
            }
            cur = static_cast<size_t>(next - 1);
        }
    }
    return links;
}

// ---------------------------------------------------------------- MdxFileWriter

MdxFileWriter::MdxFileWriter(FileHandle fd, std::string path, const std::string& baseName,
                             uint16_t blockPages, uint8_t language)
    : fd_(fd), path_(std::move(path)), head_(kHeaderAreaSize, 0), blockPages_(blockPages) {
    CheckBlockPages();
    TodayForHeader(today_);
    uint8_t* h = head_.data();
    h[kVersion] = kVersionDBase4;
    std::memcpy(h + kCreateDate, today_, 3);
    const std::string base = UpperAscii(baseName).substr(0, kBaseNameSize - 1);
    std::memcpy(h + kBaseName, base.data(), base.size());
    PutLE16(h + kBlockPages, blockPages_);
    PutLE16(h + kBlockBytes, static_cast<uint16_t>(blockPages_ * kPageSize));
    h[kProductionFlag] = 1;
    h[kSlotCount] = kSlotsValue;
    h[kSlotLength] = kSlotLengthValue;
    h[kLanguage] = language;
    nextPage_ = kFirstDataPage;
}

MdxFileWriter::MdxFileWriter(FileHandle fd, std::string path,
                             const std::vector<uint8_t>& headerArea)
    : fd_(fd), path_(std::move(path)), head_(headerArea) {
    TodayForHeader(today_);
    head_.resize(kHeaderAreaSize, 0);
    blockPages_ = GetLE16(head_.data() + kBlockPages);
    CheckBlockPages();
    nextPage_ = GetLE32(head_.data() + kTotalPages);
}

void MdxFileWriter::CheckBlockPages() const {
    if (blockPages_ < kMinBlockPages || blockPages_ > kMaxBlockPages)
        throw EDBEngineError(kStatusIndexFault,
                             {"Index file " + path_ + ": a block size of " +
                              std::to_string(blockPages_) + " pages cannot be written."});
}

MdxFileWriter::~MdxFileWriter() = default;

int MdxFileWriter::TagCount() const {
    return GetLE16(head_.data() + kTagsInUse);
}
uint8_t MdxFileWriter::Language() const {
    return head_[kLanguage];
}

MdxTagWriter& MdxFileWriter::BeginTag(const MdxTagSpec& spec) {
    const int slot = TagCount() + 1;
    if (slot > kMaxTags) {
        throw EDBEngineError(kStatusIndexFault,
                             {"Index file " + path_ + " already holds 47 tags."});
    }
    const uint32_t headerPage = nextPage_;
    nextPage_ += blockPages_;
    open_.reset(new MdxTagWriter(*this, spec, slot, headerPage));
    return *open_;
}

void MdxFileWriter::EndTag() {
    MdxTagWriter& t = *open_;
    const uint32_t root = t.Finish();
    const MdxTagSpec& spec = t.spec_;
    std::vector<uint8_t> b(t.blockBytes_, 0);
    PutLE32(b.data() + kTagRoot, root);
    PutLE32(b.data() + kTagPages, t.nodes_ * blockPages_);
    b[kTagKeyFormat] =
        static_cast<uint8_t>(kKeyFormatBase | (spec.descending ? kKeyFormatDescending : 0) |
                             (spec.unique ? kKeyFormatUnique : 0));
    b[kTagKeyType] = static_cast<uint8_t>(spec.keyType);
    b[kTagLanguage] = head_[kLanguage];
    PutLE16(b.data() + kTagKeyLength, spec.keyLength);
    PutLE16(b.data() + kTagMaxKeys, static_cast<uint16_t>(t.maxKeys_));
    PutLE16(b.data() + kTagSecondaryType, spec.keyType == KeyType::Date ? 1 : 0);
    PutLE16(b.data() + kTagItemLength, static_cast<uint16_t>(t.itemLength_));
    b[kTagCounter] = kCounterValue;
    b[kTagUniqueFlag] = spec.unique ? 1 : 0;
    std::memcpy(b.data() + kTagExpression, spec.expression.data(),
                std::min(spec.expression.size(), kMaxExpressionBytes));
    if (!spec.forExpression.empty()) {
        b[kTagHasFor] = 1;
        std::memcpy(b.data() + kTagForExpression, spec.forExpression.data(),
                    std::min(spec.forExpression.size(), kMaxExpressionBytes));
    }
    b[kTagHasKeys] = 1;  // as the legacy tools write it, empty tags included
    PutLE32(b.data() + kTagFirstNode, t.headerPage_ + blockPages_);  // nodes follow the header
    PutLE32(b.data() + kTagLastNode, root);
    std::memcpy(b.data() + kTagDate, today_, 3);
    b[kTagPlainField] = spec.plainField ? 1 : 0;
    WriteAllAt(fd_, static_cast<uint64_t>(t.headerPage_) * kPageSize, b.data(), b.size(), path_);

    uint8_t* s = head_.data() + SlotOffset(t.slot_);
    std::memset(s, 0, kSlotSize);
    PutLE32(s + kSlotHeaderPage, t.headerPage_);
    const std::string name = spec.name.substr(0, kMaxTagName);
    std::memcpy(s + kSlotName, name.data(), name.size());
    s[kSlotKeyFormat] = kKeyFormatBase;
    s[kSlotMarker] = kSlotMarkerValue;
    s[kSlotKeyType] = static_cast<uint8_t>(spec.keyType);
    PutLE16(head_.data() + kTagsInUse, static_cast<uint16_t>(t.slot_));
    open_.reset();
}

void MdxFileWriter::RebuildNameTree() {
    const int n = TagCount();
    std::vector<std::string> names;
    for (int slot = 1; slot <= n; ++slot)
        names.push_back(SlotName(head_.data() + SlotOffset(slot)));
    const auto links = ComputeNameTree(names);
    for (int slot = 1; slot <= n; ++slot) {
        uint8_t* s = head_.data() + SlotOffset(slot);
        s[kSlotLeft] = links[static_cast<size_t>(slot - 1)].left;
        s[kSlotRight] = links[static_cast<size_t>(slot - 1)].right;
        s[kSlotParent] = links[static_cast<size_t>(slot - 1)].parent;
    }
    uint8_t* sentinel = head_.data() + kTagTableOffset;
    std::memset(sentinel, 0, kSlotSize);
    if (n > 0)
        head_[kSentinelRootByte] = 1;
}

void MdxFileWriter::Finish() {
    RebuildNameTree();
    uint8_t* h = head_.data();
    const int n = TagCount();
    h[kNextTag] = static_cast<uint8_t>(n + 1);
    PutLE32(h + kTotalPages, nextPage_);
    std::memcpy(h + kUpdateDate, today_, 3);
    WriteAllAt(fd_, 0, head_.data(), head_.size(), path_);
}

// ---------------------------------------------------------------- MdxTagWriter

MdxTagWriter::MdxTagWriter(MdxFileWriter& file, const MdxTagSpec& spec, int slot,
                           uint32_t headerPage)
    : file_(file), spec_(spec), slot_(slot), headerPage_(headerPage) {
    blockBytes_ = static_cast<size_t>(file.blockPages_) * kPageSize;
    itemLength_ = ItemLengthFor(spec.keyLength);
    maxKeys_ = MaxKeysFor(blockBytes_, itemLength_);
    leaf_.assign(blockBytes_, 0);
    bufferPage_ = file.nextPage_;
}

void MdxTagWriter::Add(const uint8_t* key, uint32_t recno) {
    if (leafCount_ == maxKeys_)
        FlushLeaf();
    uint8_t* item = leaf_.data() + kNodeItems + leafCount_ * itemLength_;
    PutLE32(item, recno);
    std::memcpy(item + 4, key, spec_.keyLength);
    ++leafCount_;
}

uint32_t MdxTagWriter::WriteNode(const std::vector<uint8_t>& node) {
    const uint32_t page = file_.nextPage_;
    file_.nextPage_ += file_.blockPages_;
    const size_t at = out_.size();
    out_.insert(out_.end(), node.begin(), node.end());
    PutLE32(out_.data() + at + kNodePrevious, lastWritten_);
    lastWritten_ = page;
    ++nodes_;
    if (out_.size() >= kOutputBufferBytes)
        Flush();
    return page;
}

void MdxTagWriter::Flush() {
    if (out_.empty())
        return;
    WriteAllAt(file_.fd_, static_cast<uint64_t>(bufferPage_) * kPageSize, out_.data(), out_.size(),
               file_.path_);
    bufferPage_ += static_cast<uint32_t>(out_.size() / kPageSize);
    out_.clear();
}

void MdxTagWriter::FlushLeaf() {
    PutLE32(leaf_.data() + kNodeCount, static_cast<uint32_t>(leafCount_));
    // The leaf's last key; zeros for the one empty leaf of an empty tag.
    const uint8_t* last =
        leaf_.data() + kNodeItems + (leafCount_ > 0 ? leafCount_ - 1 : 0) * itemLength_ + 4;
    std::vector<uint8_t> lastKey(last, last + spec_.keyLength);
    const uint32_t page = WriteNode(leaf_);
    PushChild(0, Child{page, std::move(lastKey)});
    std::fill(leaf_.begin(), leaf_.end(), 0);
    leafCount_ = 0;
}

void MdxTagWriter::PushChild(size_t level, Child child) {
    if (levels_.size() <= level)
        levels_.resize(level + 1);
    // An interior node takes at most maxKeys children (maxKeys - 1 keys and the trailing
    // pointer): some readers take a node holding maxKeys keys for a leaf, whatever its
    // trailing pointer says.
    if (levels_[level].current.size() == maxKeys_) {  // the node being filled is full
        if (!levels_[level].pending.empty()) {
            std::vector<Child> p = std::move(levels_[level].pending);
            levels_[level].pending.clear();
            WriteInterior(level, p);
        }
        levels_[level].pending = std::move(levels_[level].current);
        levels_[level].current.clear();
    }
    levels_[level].current.push_back(std::move(child));
    // Once the next node has two children, the held-back full node can go out: no interior
    // node ends up with a single child.
    if (levels_[level].current.size() >= 2 && !levels_[level].pending.empty()) {
        std::vector<Child> p = std::move(levels_[level].pending);
        levels_[level].pending.clear();
        WriteInterior(level, p);
    }
}

void MdxTagWriter::WriteInterior(size_t level, const std::vector<Child>& children) {
    std::vector<uint8_t> node(blockBytes_, 0);
    const size_t n = children.size() - 1;
    PutLE32(node.data() + kNodeCount, static_cast<uint32_t>(n));
    for (size_t i = 0; i < n; ++i) {
        uint8_t* item = node.data() + kNodeItems + i * itemLength_;
        PutLE32(item, children[i].page);
        std::memcpy(item + 4, children[i].lastKey.data(), spec_.keyLength);
    }
    PutLE32(node.data() + kNodeItems + n * itemLength_, children.back().page);
    const uint32_t page = WriteNode(node);
    levels_[level].any = true;
    PushChild(level + 1, Child{page, children.back().lastKey});
}

uint32_t MdxTagWriter::Finish() {
    if (leafCount_ > 0 || nodes_ == 0)
        FlushLeaf();
    uint32_t root = 0;
    for (size_t level = 0; level < levels_.size(); ++level) {
        Level& l = levels_[level];
        if (!l.any && l.pending.empty() && l.current.size() == 1) {
            root = l.current[0].page;
            break;
        }
        std::vector<Child> pending = std::move(l.pending);
        std::vector<Child> current = std::move(l.current);
        l.pending.clear();
        l.current.clear();
        if (!pending.empty() && current.size() == 1) {
            current.insert(current.begin(), pending.back());
            pending.pop_back();
        }
        if (!pending.empty())
            WriteInterior(level, pending);
        if (!current.empty())
            WriteInterior(level, current);
    }
    Flush();
    return root;
}

// ---------------------------------------------------------------- sizes before writing

namespace {

// MdxTagWriter's levels with the children counted instead of kept: PushChild, WriteInterior and
// Finish step for step.
class NodeCounter {
  public:
    explicit NodeCounter(size_t maxKeys) : maxKeys_(maxKeys) {}

    uint64_t Count(uint64_t keys) {
        const uint64_t leaves = keys == 0 ? 1 : (keys + maxKeys_ - 1) / maxKeys_;
        for (uint64_t i = 0; i < leaves; ++i) {
            ++nodes_;
            PushChild(0);
        }
        for (size_t level = 0; level < levels_.size(); ++level) {
            Level& l = levels_[level];
            if (!l.any && l.pending == 0 && l.current == 1)
                break;  // the root
            size_t pending = l.pending, current = l.current;
            l.pending = l.current = 0;
            if (pending != 0 && current == 1) {
                --pending;
                ++current;
            }
            if (pending != 0)
                WriteInterior(level);
            if (current != 0)
                WriteInterior(level);
        }
        return nodes_;
    }

  private:
    struct Level {
        size_t current = 0;
        size_t pending = 0;
        bool any = false;
    };
    void PushChild(size_t level) {
        if (levels_.size() <= level)
            levels_.resize(level + 1);
        if (levels_[level].current == maxKeys_) {
            if (levels_[level].pending != 0) {
                levels_[level].pending = 0;
                WriteInterior(level);
            }
            levels_[level].pending = levels_[level].current;
            levels_[level].current = 0;
        }
        ++levels_[level].current;
        if (levels_[level].current >= 2 && levels_[level].pending != 0) {
            levels_[level].pending = 0;
            WriteInterior(level);
        }
    }
    void WriteInterior(size_t level) {
        ++nodes_;
        levels_[level].any = true;
        PushChild(level + 1);
    }

    size_t maxKeys_;
    uint64_t nodes_ = 0;
    std::vector<Level> levels_;
};

}  // namespace

uint64_t TagNodeCount(uint64_t keys, size_t maxKeys) {
    return NodeCounter(maxKeys).Count(keys);
}

uint64_t IndexFileBytes(uint16_t blockPages, const std::vector<TagShape>& tags) {
    uint64_t pages = kFirstDataPage;
    const size_t blockBytes = static_cast<size_t>(blockPages) * kPageSize;
    for (const TagShape& t : tags) {
        const size_t maxKeys = MaxKeysFor(blockBytes, ItemLengthFor(t.keyLength));
        pages += (1 + TagNodeCount(t.keys, maxKeys)) * blockPages;
    }
    return pages * kPageSize;
}

}  // namespace ari::engine
