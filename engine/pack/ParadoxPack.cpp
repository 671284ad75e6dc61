#include "engine/pack/ParadoxPack.h"

#ifdef ARI_HAVE_PXLIB
extern "C" {
#include <paradox.h>  // pxlib: no C++ guards of its own
}
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <vector>

#include "engine/EngineErrors.h"
#include "engine/EngineStatus.h"
#include "engine/format/ParadoxFormat.h"
#include "engine/table/FileOps.h"
#include "engine/table/ParadoxFile.h"
#include "engine/table/TableFiles.h"
#include "engine/table/TableLock.h"
#include "platform/FileErrors.h"
#include "platform/Files.h"

namespace ari::engine {

namespace {

// ".Xnn"/".Ynn" (nn the field number in hex) or ".XGn"/".YGn" (a composite index), any case;
// other files that share the table's name (a spreadsheet, say) are not indexes.
bool IsSecondaryIndexExtension(const std::string& ext) {
    if (ext.size() != 4 || ext[0] != '.')
        return false;
    const char kind = static_cast<char>(std::toupper(static_cast<unsigned char>(ext[1])));
    const auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    return (kind == 'X' || kind == 'Y') && (hex(ext[2]) || ext[2] == 'G' || ext[2] == 'g') &&
           hex(ext[3]);
}

#ifdef ARI_HAVE_PXLIB
// The primary index (.px) of a keyed table, generated from the new table file with pxlib.
void WritePrimaryIndex(const std::string& dbPath, const std::string& pxPath, uint16_t keyFields) {
    pxdoc_t* db = PX_new();
    pxdoc_t* ix = PX_new();
    if (!db || !ix)
        throw std::bad_alloc();
    struct Close {
        pxdoc_t* d;
        ~Close() {
            PX_close(d);
            PX_delete(d);
        }
    } closeDb{db}, closeIx{ix};
    if (PX_open_file(db, dbPath.c_str()) < 0)
        RaiseTableError(kStatusIndexError, dbPath, {"The packed table could not be read back."});
    pxfield_t* fields = PX_get_fields(db);
    if (!fields || PX_get_num_fields(db) < keyFields)
        RaiseTableError(kStatusIndexError, dbPath, {"The key fields could not be read."});
    // The index records: the key fields, then the block number, the records of that block and
    // one reserved short.
    std::vector<pxfield_t> ixFields(keyFields + 3u);
    std::vector<std::string> names;
    names.reserve(ixFields.size());
    for (uint16_t k = 0; k < keyFields; ++k) {
        ixFields[k] = fields[k];
        names.emplace_back(fields[k].px_fname ? fields[k].px_fname : "");
    }
    for (const char* n : {"block", "count", "reserved"})
        names.emplace_back(n);
    for (size_t k = 0; k < ixFields.size(); ++k) {
        if (k >= keyFields) {
            ixFields[k].px_ftype = pxfShort;
            ixFields[k].px_flen = 2;
            ixFields[k].px_fdc = 0;
        }
        ixFields[k].px_fname = names[k].data();
    }
    // pxlib keeps and frees the field array it is given: hand it a malloc'ed copy.
    auto* owned = static_cast<pxfield_t*>(std::malloc(sizeof(pxfield_t) * ixFields.size()));
    if (!owned)
        throw std::bad_alloc();
    for (size_t k = 0; k < ixFields.size(); ++k) {
        owned[k] = ixFields[k];
        owned[k].px_fname = strdup(names[k].c_str());
    }
    if (PX_create_file(ix, owned, static_cast<int>(ixFields.size()), pxPath.c_str(),
                       pxfFileTypPrimIndex) < 0 ||
        PX_write_primary_index(db, ix) < 0)
        RaiseEngineError(kStatusIndexError,
                         {"Index file: " + pxPath, "The primary index could not be written."});
}
#endif

}  // namespace

ParadoxPackResult PackParadoxTable(const std::string& path, TableLease& lease) {
    if (lease.Mode() != ShareMode::Exclusive)
        RaiseTableError(kStatusNeedExclusive, path);
    // Nobody else has the table or its index open, up to and including the renames.
    const SoleUseHold hold(lease);
    lease.RefuseReadOnly();
    ParadoxSource source = OpenParadoxSource(path);
    const FileHandle in = source.fd.Get();
    std::string& head = source.head;
    const ParadoxHeader h = ParseParadoxHeader(head, source.size, path);
    head.resize(h.headerSize);
    const auto* hp = reinterpret_cast<const uint8_t*>(head.data());
    // Encryption word; 0xFF00FF00 there means "see the word at 0x5C" (version 4 and later).
    uint32_t encryption = GetLE32(hp + px::kEncryption);
    if (encryption == px::kEncryptionElsewhere && h.headerSize >= px::kEncryption4 + 4)
        encryption = GetLE32(hp + px::kEncryption4);
    if (encryption != 0)
        RaiseTableError(kStatusUnsupportedFormat, path,
                        {"Encrypted Paradox tables are not supported."});
    // Secondary indexes would be left stale by the new record positions.
    const std::string stem = CompanionPathFor(path, "");
    {
        const std::string folder = ExtractFilePath(path).empty() ? "./" : ExtractFilePath(path);
        for (const auto& name : ListFiles(folder, ExtractFileName(stem) + ".*")) {
            if (IsSecondaryIndexExtension(name.substr(ExtractFileName(stem).size())))
                RaiseTableError(kStatusIndexUnavailable, path,
                                {"Secondary index file: " + folder + name});
        }
    }
    const std::string pxPath = FindCompanion(path, kParadoxIndexExtension);
#ifndef ARI_HAVE_PXLIB
    // Without pxlib the primary index cannot be generated again: refused before anything is
    // written, the table and its index as they were.
    if (h.fileType == px::kFileTypeKeyed && h.keyFieldCount > 0 && !pxPath.empty())
        RaiseTableError(kStatusUnsupportedFormat, path,
                        {"Keyed Paradox tables cannot be packed by this build (made without "
                         "pxlib)."});
#endif

    ParadoxPackResult result;
    result.blocksBefore = h.blocksInFile;
    const uint32_t bs = h.blockSize;
    const uint32_t perBlock = (bs - px::kBlockHeaderSize) / h.recordSize;
    std::vector<uint8_t> out(bs, 0);
    uint32_t inOut = 0;  // records in the output block
    uint16_t written = 0;
    TemporaryFile newDb(path, kPackPurpose);
    auto flush = [&](bool last) {
        if (inOut == 0)
            return;
        ++written;
        PutLE16(out.data(), last ? 0 : static_cast<uint16_t>(written + 1));
        PutLE16(out.data() + 2, static_cast<uint16_t>(written - 1));
        PutLE16(out.data() + 4, static_cast<uint16_t>((inOut - 1) * h.recordSize));
        WriteAll(newDb.Fd(), out.data(), out.size(), newDb.Path());
        std::fill(out.begin(), out.end(), 0);
        inOut = 0;
    };
    try {
        WriteAll(newDb.Fd(), head.data(), head.size(), newDb.Path());
        const uint32_t records =
            WalkParadoxChain(in, h, path, [&](const uint8_t* recs, uint32_t n) {
                for (uint32_t r = 0; r < n; ++r) {
                    std::memcpy(out.data() + px::kBlockHeaderSize + inOut * h.recordSize,
                                recs + r * h.recordSize, h.recordSize);
                    if (++inOut == perBlock)
                        flush(false);
                }
            });
        if (inOut > 0)
            flush(true);
        else if (written > 0) {
            // The last full block was written with a next pointer: clear it.
            uint8_t zero[2] = {0, 0};
            WriteAllAt(newDb.Fd(), h.headerSize + static_cast<uint64_t>(written - 1) * bs, zero, 2,
                       newDb.Path());
        }
        if (records != h.recordCount)
            RaiseTableError(kStatusCorruptData, path,
                            {"The header counts " + std::to_string(h.recordCount) +
                             " records but the data blocks hold " + std::to_string(records) + "."});
        uint8_t fix[2];
        PutLE16(fix, written);
        WriteAllAt(newDb.Fd(), px::kBlocksInUse, fix, 2, newDb.Path());
        WriteAllAt(newDb.Fd(), px::kBlocksInFile, fix, 2, newDb.Path());
        WriteAllAt(newDb.Fd(), px::kLastBlock, fix, 2, newDb.Path());
        PutLE16(fix, written ? 1 : 0);
        WriteAllAt(newDb.Fd(), px::kFirstBlock, fix, 2, newDb.Path());
        PutLE16(fix, 0);
        WriteAllAt(newDb.Fd(), px::kFirstFreeBlock, fix, 2, newDb.Path());
        SyncFile(newDb.Fd(), newDb.Path());
        result.records = records;
        result.blocksAfter = written;
    } catch (const EInOutError& e) {
        RaiseTableErrorCausedBy(kStatusWriteError, path, e);
    }

    std::unique_ptr<TemporaryFile> newPx;
    if (h.fileType == px::kFileTypeKeyed && h.keyFieldCount > 0 && !pxPath.empty()) {
        newPx = std::make_unique<TemporaryFile>(pxPath, kPackPurpose);
#ifdef ARI_HAVE_PXLIB
        WritePrimaryIndex(newDb.Path(), newPx->Path(), h.keyFieldCount);
#endif
        try {
            SyncFile(newPx->Fd(), newPx->Path());
        } catch (const EInOutError& e) {
            RaiseTableErrorCausedBy(kStatusWriteError, path, e);
        }
        result.indexRebuilt = true;
    }
    ReplaceTableFiles(path, newDb, pxPath, newPx.get(), lease);
    return result;
}

}  // namespace ari::engine
