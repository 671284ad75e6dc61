#include "engine/index/BuiltIndexes.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <random>
#include <vector>

#include "engine/table/DbfFile.h"
#include "engine/table/FileOps.h"

namespace ari::engine {

namespace {

constexpr uint64_t kP1 = 0x9E3779B185EBCA87ull;
constexpr uint64_t kP2 = 0xC2B2AE3D27D4EB4Full;
constexpr uint64_t kP3 = 0x165667B19E3779F9ull;
constexpr uint64_t kP4 = 0x85EBCA77C2B2AE63ull;

inline uint64_t RotateLeft(uint64_t x, int r) {
    return (x << r) | (x >> (64 - r));
}

inline uint64_t Word(const uint8_t* p) {
    uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;  // the machine's order: the digest never leaves the process
}

inline uint64_t Round(uint64_t lane, uint64_t word) {
    return RotateLeft(lane + word * kP2, 31) * kP1;
}

inline uint64_t Avalanche(uint64_t h) {
    h ^= h >> 33;
    h *= kP2;
    h ^= h >> 29;
    h *= kP3;
    h ^= h >> 32;
    return h;
}

uint64_t ProcessSeed() {
    static const uint64_t seed = []() -> uint64_t {
        try {
            std::random_device device;
            return (static_cast<uint64_t>(device()) << 32) ^ device();
        } catch (const std::exception&) {
            // No source of randomness: the clock, which still differs between processes.
            return static_cast<uint64_t>(
                std::chrono::steady_clock::now().time_since_epoch().count() * kP3);
        }
    }();
    return seed;
}

constexpr size_t kMaxRemembered = 4096;

std::mutex gMutex;
std::deque<BuiltIndex> gBuilt;  // oldest first

}  // namespace

ContentDigest::ContentDigest() {
    const uint64_t seed = ProcessSeed();
    lanes_[0] = seed + kP1 + kP2;
    lanes_[1] = seed + kP2;
    lanes_[2] = seed;
    lanes_[3] = seed - kP1;
}

void ContentDigest::Stripe(const uint8_t* p) {
    lanes_[0] = Round(lanes_[0], Word(p));
    lanes_[1] = Round(lanes_[1], Word(p + 8));
    lanes_[2] = Round(lanes_[2], Word(p + 16));
    lanes_[3] = Round(lanes_[3], Word(p + 24));
}

void ContentDigest::Add(const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    total_ += size;
    if (pendingBytes_ > 0) {
        const size_t take = std::min(size, sizeof pending_ - pendingBytes_);
        std::memcpy(pending_ + pendingBytes_, p, take);
        pendingBytes_ += take;
        p += take;
        size -= take;
        if (pendingBytes_ < sizeof pending_)
            return;
        Stripe(pending_);
        pendingBytes_ = 0;
    }
    for (; size >= sizeof pending_; p += sizeof pending_, size -= sizeof pending_)
        Stripe(p);
    std::memcpy(pending_, p, size);
    pendingBytes_ = size;
}

ContentDigest::Value ContentDigest::Result() const {
    uint64_t h = RotateLeft(lanes_[0], 1) + RotateLeft(lanes_[1], 7) + RotateLeft(lanes_[2], 12) +
                 RotateLeft(lanes_[3], 18);
    uint64_t g = lanes_[0] ^ RotateLeft(lanes_[1], 29) ^ RotateLeft(lanes_[2], 41) ^
                 RotateLeft(lanes_[3], 53);
    h += total_;
    g ^= total_ * kP4;
    // The bytes left over, each mixed into both halves.
    for (size_t i = 0; i < pendingBytes_; ++i) {
        h = RotateLeft(h ^ (pending_[i] * kP4), 11) * kP1;
        g = RotateLeft(g + (pending_[i] * kP3), 23) * kP2;
    }
    return {Avalanche(h), Avalanche(g ^ Avalanche(h + kP3))};
}

void AddTableShape(ContentDigest& digest, const DbfFile& table) {
    AddTableShape(digest, table, table.LanguageDriver());
}

void AddTableShape(ContentDigest& digest, const DbfFile& table, uint8_t languageDriver) {
    std::vector<uint8_t> bytes;
    auto put = [&](uint64_t v, int width) {
        for (int i = 0; i < width; ++i)
            bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    put(table.RecordCount(), 4);
    put(table.Header().headerLength, 2);
    put(table.RecordLength(), 2);
    put(languageDriver, 1);
    put(table.Fields().size(), 4);
    for (const FieldDef& f : table.Fields()) {
        put(f.name.size(), 1);
        bytes.insert(bytes.end(), f.name.begin(), f.name.end());
        put(static_cast<uint8_t>(f.type), 1);
        put(f.length, 2);
        put(f.decimals, 1);
        put(f.offset, 4);
    }
    digest.Add(bytes.data(), bytes.size());
}

ContentDigest::Value DigestOfFile(FileHandle file, uint64_t size, const std::string& path) {
    ContentDigest digest;
    std::vector<uint8_t> buf(static_cast<size_t>(std::min<uint64_t>(size, uint64_t{1} << 20)));
    for (uint64_t done = 0; done < size;) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - done));
        const size_t got = ReadAt(file, done, buf.data(), want, path);
        if (got == 0)
            break;  // shorter than said: the digest tells
        digest.Add(buf.data(), got);
        done += got;
    }
    return digest.Result();
}

std::optional<BuiltIndex> DescribeBuiltIndex(const std::string& tablePath, FileHandle index,
                                             const std::string& indexPath,
                                             const ContentDigest& records) {
    FileInfo indexInfo, tableInfo;
    if (Env::Default()->Info(index, &indexInfo) != 0 ||
        Env::Default()->PathInfo(tablePath, true, &tableInfo) != 0) {
        return std::nullopt;
    }
    BuiltIndex built;
    built.table = tableInfo.id;
    built.index = indexInfo.id;
    built.indexBytes = indexInfo.size;
    built.indexModified = indexInfo.modified;
    built.tableDigest = records.Result();
    built.indexDigest = DigestOfFile(index, indexInfo.size, indexPath);
    return built;
}

void RememberBuiltIndex(const BuiltIndex& built) {
    const std::lock_guard<std::mutex> lock(gMutex);
    gBuilt.erase(std::remove_if(gBuilt.begin(), gBuilt.end(),
                                [&](const BuiltIndex& b) { return b.index == built.index; }),
                 gBuilt.end());
    gBuilt.push_back(built);
    while (gBuilt.size() > kMaxRemembered)
        gBuilt.pop_front();
}

std::optional<BuiltIndex> FindBuiltIndex(const FileId& index) {
    const std::lock_guard<std::mutex> lock(gMutex);
    for (const BuiltIndex& b : gBuilt) {
        if (b.index == index)
            return b;
    }
    return std::nullopt;
}

}  // namespace ari::engine
