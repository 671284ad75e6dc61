#include "engine/index/MdxFile.h"

#include <cerrno>
#include <cstring>

#include "engine/EngineErrors.h"
#include "engine/format/MdxFormat.h"
#include "engine/table/TableLock.h"

namespace ari::engine {

using namespace mdx;

namespace {

constexpr int kMaxDepth = 32;  // far beyond any real tree; stops a looping walk

std::string CText(const uint8_t* p, size_t max) {
    size_t n = 0;
    while (n < max && p[n] != 0)
        ++n;
    return std::string(reinterpret_cast<const char*>(p), n);
}

std::string TrimRight(std::string s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0'))
        s.pop_back();
    return s;
}

}  // namespace

void MdxFile::Fault(const std::string& what) const {
    throw EDBEngineError(kStatusIndexFault, {"Index file " + path_ + " is damaged: " + what}, path_,
                         ari::ErrorKind::Damaged);
}

MdxFile::MdxFile(const std::string& path) : path_(path) {
    // Through OpenTableFile: a held index is read through the held descriptor.
    Env* env = Env::Default();
    file_ = OpenTableFile(path, kOpenRead);
    if (file_ < 0)
        throw EDBEngineError(kStatusIndexFault,
                             {"Cannot open index file " + path + ": " + std::strerror(errno)}, path,
                             errno == ENOENT ? ari::ErrorKind::Missing : ari::ErrorKind::Other);
    FileInfo info;
    fileSize_ = env->Info(file_, &info) == 0 && info.kind == NameKind::Regular ? info.size : 0;
    if (fileSize_ < kHeaderAreaSize) {
        env->Close(file_);
        file_ = kNoFile;
        Fault("file of " + std::to_string(fileSize_) + " bytes is shorter than its header");
    }
    try {
        headerArea_.resize(kHeaderAreaSize);
        if (!ReadFully(0, headerArea_.data(), kHeaderAreaSize)) {
            Fault("cannot read the header");
        }
        const uint8_t* h = headerArea_.data();
        header_.version = h[kVersion];
        header_.baseName = CText(h + kBaseName, kBaseNameSize);
        header_.blockPages = GetLE16(h + kBlockPages);
        header_.blockBytes = GetLE16(h + kBlockBytes);
        header_.tagsInUse = GetLE16(h + kTagsInUse);
        header_.language = h[kLanguage];
        header_.totalPages = GetLE32(h + kTotalPages);
        header_.freePage = GetLE32(h + kFreePage);
        if (header_.version == kVersionLevel7) {
            Fault("version 3 (level 7) index files are not supported");
        }
        if (header_.version != kVersionDBase4) {
            Fault("unknown version byte " + std::to_string(header_.version));
        }
        if (header_.blockPages < kMinBlockPages || header_.blockPages > kMaxBlockPages) {
            Fault("block size of " + std::to_string(header_.blockPages) + " pages (" +
                  std::to_string(kMinBlockPages) + " to " + std::to_string(kMaxBlockPages) +
                  " are valid)");
        }
        if (header_.blockBytes != header_.blockPages * kPageSize) {
            Fault("block size in bytes (" + std::to_string(header_.blockBytes) +
                  ") is not the block size in pages times 512");
        }
        if (static_cast<uint64_t>(header_.totalPages) * kPageSize > fileSize_) {
            Fault("header counts " + std::to_string(header_.totalPages) +
                  " pages but the file holds " + std::to_string(fileSize_ / kPageSize));
        }
        if (header_.totalPages < kFirstDataPage)
            Fault("header counts fewer pages than the tag table");
        if (header_.tagsInUse > kMaxTags) {
            Fault(std::to_string(header_.tagsInUse) + " tags in use (at most 47)");
        }
        std::vector<uint8_t> block;
        for (int slot = 1; slot <= header_.tagsInUse; ++slot) {
            const uint8_t* s = h + SlotOffset(slot);
            MdxTag t;
            t.slot = slot;
            t.headerPage = GetLE32(s + kSlotHeaderPage);
            t.name = TrimRight(CText(s + kSlotName, kSlotNameSize));
            const std::string where = "tag " + std::to_string(slot) + " (" + t.name + ")";
            if (t.name.empty())
                Fault(where + " has no name");
            for (unsigned char c : t.name) {
                if (c < 0x20 || c >= 0x7F)
                    Fault(where + " has an unprintable name");
            }
            if (t.headerPage < kFirstDataPage || t.headerPage >= header_.totalPages) {
                Fault(where + ": header page " + std::to_string(t.headerPage) +
                      " outside the file");
            }
            ReadBlock(t.headerPage, block);
            const uint8_t* b = block.data();
            t.root = GetLE32(b + kTagRoot);
            t.keyFormat = b[kTagKeyFormat];
            const char type = static_cast<char>(b[kTagKeyType]);
            if (type != 'C' && type != 'N' && type != 'D' && type != 'F') {
                Fault(where + ": key type byte " + std::to_string(b[kTagKeyType]));
            }
            t.keyType = type == 'C'   ? KeyType::Character
                        : type == 'D' ? KeyType::Date
                                      : KeyType::Numeric;
            t.keyLength = GetLE16(b + kTagKeyLength);
            t.maxKeys = GetLE16(b + kTagMaxKeys);
            t.itemLength = GetLE16(b + kTagItemLength);
            t.unique = (t.keyFormat & kKeyFormatUnique) != 0 || b[kTagUniqueFlag] != 0;
            t.descending = (t.keyFormat & kKeyFormatDescending) != 0;
            t.expression = TrimRight(CText(b + kTagExpression, kMaxExpressionBytes + 1));
            if (b[kTagHasFor])
                t.forExpression = TrimRight(CText(b + kTagForExpression, kMaxExpressionBytes + 1));
            if (t.keyLength == 0 || t.keyLength > kMaxKeyLength) {
                Fault(where + ": key length " + std::to_string(t.keyLength));
            }
            if (t.keyType == KeyType::Numeric && t.keyLength != kNumericKeyLength) {
                Fault(where + ": numeric key of " + std::to_string(t.keyLength) + " bytes");
            }
            if (t.keyType == KeyType::Date && t.keyLength != kDateKeyLength) {
                Fault(where + ": date key of " + std::to_string(t.keyLength) + " bytes");
            }
            if (t.itemLength != ItemLengthFor(t.keyLength)) {
                Fault(where + ": item length " + std::to_string(t.itemLength) + " for a key of " +
                      std::to_string(t.keyLength) + " bytes");
            }
            if (t.maxKeys != MaxKeysFor(header_.blockBytes, t.itemLength)) {
                Fault(where + ": " + std::to_string(t.maxKeys) + " keys per node, expected " +
                      std::to_string(MaxKeysFor(header_.blockBytes, t.itemLength)));
            }
            if (t.root < kFirstDataPage || t.root >= header_.totalPages) {
                Fault(where + ": root page " + std::to_string(t.root) + " outside the file");
            }
            if (t.expression.empty())
                Fault(where + " has no key expression");
            tags_.push_back(std::move(t));
        }
    } catch (...) {
        env->Close(file_);
        file_ = kNoFile;
        throw;
    }
}

MdxFile::~MdxFile() {
    if (file_ >= 0)
        Env::Default()->Close(file_);
}

bool MdxFile::ReadFully(uint64_t offset, void* data, size_t size) const {
    auto* p = static_cast<uint8_t*>(data);
    size_t done = 0;
    while (done < size) {
        const int64_t n = Env::Default()->ReadAt(file_, offset + done, p + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void MdxFile::ReadBlock(uint32_t page, std::vector<uint8_t>& out) const {
    out.assign(header_.blockBytes, 0);
    const uint64_t off = static_cast<uint64_t>(page) * kPageSize;
    if (off + header_.blockBytes > fileSize_) {
        Fault("block at page " + std::to_string(page) + " runs past the end of the file");
    }
    if (!ReadFully(off, out.data(), out.size())) {
        Fault("cannot read the block at page " + std::to_string(page));
    }
}

void MdxFile::Walk(const MdxTag& tag, const MdxKeyVisitor& visit, std::vector<bool>* seen) const {
    std::vector<bool> local;
    if (!seen)
        seen = &local;
    if (seen->size() < header_.totalPages)
        seen->resize(header_.totalPages, false);
    const std::string where = "tag " + tag.name;
    int leafDepth = -1;
    const size_t keyLen = tag.keyLength;
    const size_t itemLen = tag.itemLength;

    // Returns false for an empty subtree; else copies its last key to `last`.
    std::function<bool(uint32_t, int, std::vector<uint8_t>&)> visitNode =
        [&](uint32_t page, int depth, std::vector<uint8_t>& last) -> bool {
        if (depth > kMaxDepth)
            Fault(where + ": tree deeper than " + std::to_string(kMaxDepth) + " levels");
        if (page < kFirstDataPage || page >= header_.totalPages ||
            page + header_.blockPages > header_.totalPages) {
            Fault(where + ": node page " + std::to_string(page) + " outside the file");
        }
        for (uint32_t p = page; p < page + header_.blockPages; ++p) {
            if ((*seen)[p])
                Fault(where + ": page " + std::to_string(p) + " reached twice");
            (*seen)[p] = true;
        }
        std::vector<uint8_t> node;
        ReadBlock(page, node);
        const uint32_t n = GetLE32(node.data() + kNodeCount);
        if (n > tag.maxKeys) {
            Fault(where + ": node at page " + std::to_string(page) + " holds " + std::to_string(n) +
                  " keys, at most " + std::to_string(tag.maxKeys) + " fit");
        }
        const uint32_t trailing = GetLE32(node.data() + kNodeItems + n * itemLen);
        if (trailing == 0) {  // leaf
            if (leafDepth < 0)
                leafDepth = depth;
            if (leafDepth != depth) {
                Fault(where + ": leaf at page " + std::to_string(page) + " on level " +
                      std::to_string(depth + 1) + ", other leaves on level " +
                      std::to_string(leafDepth + 1));
            }
            for (uint32_t i = 0; i < n; ++i) {
                const uint8_t* item = node.data() + kNodeItems + i * itemLen;
                visit(item + 4, GetLE32(item));
            }
            if (n == 0)
                return false;
            const uint8_t* lastItem = node.data() + kNodeItems + (n - 1) * itemLen;
            last.assign(lastItem + 4, lastItem + 4 + keyLen);
            return true;
        }
        bool any = false;
        std::vector<uint8_t> childLast;
        for (uint32_t i = 0; i <= n; ++i) {
            const uint8_t* item = node.data() + kNodeItems + i * itemLen;
            const uint32_t child = GetLE32(item);
            const bool has = visitNode(child, depth + 1, childLast);
            if (i < n) {
                if (!has || std::memcmp(childLast.data(), item + 4, keyLen) != 0) {
                    Fault(where + ": key " + std::to_string(i + 1) + " of the node at page " +
                          std::to_string(page) + " is not the last key of its child at page " +
                          std::to_string(child));
                }
            }
            if (has) {
                any = true;
                last = childLast;
            }
        }
        return any;
    };
    std::vector<uint8_t> last;
    visitNode(tag.root, 0, last);
}

std::vector<uint32_t> MdxFile::FreePages() const {
    std::vector<uint32_t> pages;
    std::vector<bool> met(header_.totalPages, false);
    std::vector<uint8_t> block;
    for (uint32_t p = header_.freePage; p != 0;) {
        if (p < kFirstDataPage || p >= header_.totalPages) {
            Fault("free list page " + std::to_string(p) + " outside the file");
        }
        if (met[p])
            Fault("free list loops at page " + std::to_string(p));
        met[p] = true;
        pages.push_back(p);
        ReadBlock(p, block);
        p = GetLE32(block.data() + kNodePrevious);
    }
    return pages;
}

}  // namespace ari::engine
