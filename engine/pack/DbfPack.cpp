#include "engine/pack/DbfPack.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/EngineStatus.h"
#include "engine/Progress.h"
#include "engine/index/ProductionIndex.h"
#include "engine/table/DbfFile.h"
#include "engine/table/FileOps.h"
#include "engine/table/TableDamage.h"
#include "engine/table/TableFiles.h"
#include "platform/FileErrors.h"
#include "platform/Files.h"

namespace ari::engine {

namespace {
constexpr size_t kPackBufferBytes = size_t{4} << 20;

}  // namespace

PackResult PackDbfTable(const std::string& path, TableLease& lease) {
    if (lease.Mode() != ShareMode::Exclusive)
        RaiseTableError(kStatusNeedExclusive, path);
    // Nobody else has the table, its index or its memo file open; the proof lasts through the
    // index rebuild and the renames (ReplaceTableFiles).
    const SoleUseHold hold(lease);
    lease.RefuseReadOnly();
    const auto src = DbfFile::OpenHeld(path);
    const DbfHeader& h = src->Header();
    if (h.family != DbfFamily::DBase)
        RaiseTableError(kStatusUnsupportedFormat, path, {"Only dBASE tables can be packed."});
    // A damaged table is refused before anything is written: a pack would rewrite the damage
    // into a file that no longer shows it.
    RefuseDamagedTable(*src);

    // The production index must be rebuilt after the record numbers change.
    std::string mdxPath;
    if (h.productionIndexFlag != 0)
        mdxPath = FindCompanion(path, kProductionIndexExtension);

    PackResult result;
    // What the old records were, and which of them the new table keeps: the new index can then
    // be written from the old one's keys when that index was built here from these very records.
    ContentDigest oldRecords;
    AddTableShape(oldRecords, *src);
    std::unique_ptr<KeptRecords> kept;
    if (!mdxPath.empty() && src->RecordCount() <= KeptRecords::kMaxRecords)
        kept = std::make_unique<KeptRecords>(src->RecordCount());
    TemporaryFile newDbf(path, kPackPurpose);
    const std::string& tmp = newDbf.Path();
    // The old table as read, from its first byte to its last record: where sole use is proven by
    // a look through /proc, a client that opens, writes without a lock and closes between two
    // looks leaves nothing to find, so the old table is compared with it before and after the
    // renames (a lease holds such a client back at its open).
    const bool byLook = lease.Proof() != SoleUseProof::Lease;
    ContentDigest asRead;
    const uint64_t readEnd =
        h.headerLength + static_cast<uint64_t>(src->RecordCount()) * h.recordLength;
    const ScopedFd source(OpenTableFile(path, kOpenRead));
    try {
        if (source.Get() < 0)
            ThrowLastInOutError(path);
        // Header: every byte as it was but the date of last update and the record count.
        std::vector<uint8_t> header(h.headerLength);
        const size_t got = ReadAt(source.Get(), 0, header.data(), header.size(), path);
        if (got < header.size())
            RaiseTableError(kStatusReadError, path, {"The header is cut off."});
        if (byLook)
            asRead.Add(header.data(), header.size());
        WriteAll(newDbf.Fd(), header.data(), header.size(), tmp);

        // Records: read large blocks, close the gaps of deleted records inside each block, and
        // write what is left; one read and one write per block.
        const size_t rl = h.recordLength;
        // No larger than the records need: a small table's pack does not clear megabytes.
        const size_t perBlock = std::max<size_t>(
            1, std::min<size_t>(kPackBufferBytes / rl, std::max<uint32_t>(src->RecordCount(), 1)));
        std::vector<uint8_t> buf(perBlock * rl + 1);
        const FileHandle in = source.Get();
        Env::Default()->AdviseSequential(in);
        const uint32_t total = src->RecordCount();
        const ProgressSink* progress = CurrentProgressSink();
        ReportProgress(progress, ProgressPhase::Packing, 0, total);
        for (uint32_t done = 0; done < total;) {
            // A program that opened a file meanwhile waits for us: give up at once, not at the
            // end of a long pass.
            if (lease.LeaseBroken())
                lease.CheckSoleUse();
            const size_t want = std::min<size_t>(perBlock, total - done);
            const uint64_t off = h.headerLength + static_cast<uint64_t>(done) * rl;
            if (ReadAt(in, off, buf.data(), want * rl, path) < want * rl)
                RaiseTableError(kStatusReadError, path,
                                {"Record " + std::to_string(done + 1) + " is cut off."});
            oldRecords.Add(buf.data(), want * rl);
            if (byLook)
                asRead.Add(buf.data(), want * rl);
            size_t keptHere = 0;
            for (size_t i = 0; i < want; ++i) {
                if (progress && (done + i) % kProgressEveryRecords == 0 && done + i != 0)
                    ReportProgress(progress, ProgressPhase::Packing, done + i, total);
                const uint8_t* rec = buf.data() + i * rl;
                if (*rec == dbf::kDeletedFlag) {
                    ++result.dropped;
                    continue;
                }
                // Live records and records with a damaged flag are kept as they are: nothing is
                // lost.
                if (kept)
                    kept->Keep(static_cast<uint32_t>(done + i + 1));
                if (keptHere != i)
                    std::memmove(buf.data() + keptHere * rl, rec, rl);
                ++keptHere;
            }
            result.kept += static_cast<uint32_t>(keptHere);
            done += static_cast<uint32_t>(want);
            size_t bytes = keptHere * rl;
            if (done == total)
                buf[bytes++] = dbf::kEndOfFile;
            if (bytes)
                WriteAll(newDbf.Fd(), buf.data(), bytes, tmp);
        }
        ReportProgress(progress, ProgressPhase::Packing, total, total);
        if (total == 0) {
            const uint8_t eof = dbf::kEndOfFile;
            WriteAll(newDbf.Fd(), &eof, 1, tmp);
        }

        uint8_t fix[8];
        TodayForHeader(fix);            // bytes 1..3
        PutLE32(fix + 3, result.kept);  // bytes 4..7
        WriteAllAt(newDbf.Fd(), dbf::kUpdateYear, fix, 7, tmp);
        SyncFile(newDbf.Fd(), tmp);
    } catch (const EInOutError& e) {
        RaiseTableErrorCausedBy(kStatusWriteError, path, e);
    }

    // The new index, built from the new table file into a temporary file held (locked) from
    // its creation until the lease takes it over; it is removed on any failure.
    std::unique_ptr<TemporaryFile> newMdx;
    if (!mdxPath.empty()) {
        try {
            newMdx = std::make_unique<TemporaryFile>(mdxPath, kPackPurpose);
            PackedRecords packed;
            packed.oldTablePath = path;
            packed.oldTableDigest = oldRecords.Result();
            if (kept) {
                kept->Finish();
                packed.kept = kept.get();
            }
            result.indexFromOldKeys =
                RebuildProductionIndex(tmp, mdxPath, newMdx->Fd(), newMdx->Path(), &packed);
        } catch (const EInOutError& e) {
            RaiseTableErrorCausedBy(kStatusWriteError, path, e);
        }
        result.indexRebuilt = true;
    }

    const auto stillAsRead = [&] {
        FileInfo now;
        return Env::Default()->Info(source.Get(), &now) == 0 && now.size == src->FileSize() &&
               DigestOfFile(source.Get(), readEnd, path) == asRead.Result();
    };
    ReplaceTableFiles(path, newDbf, mdxPath, newMdx.get(), lease,
                      byLook ? std::function<bool()>(stillAsRead) : std::function<bool()>());
    return result;
}

}  // namespace ari::engine
