#include "maintenance/IndexTransfer.h"

#include <filesystem>
#include <memory>

#include "log/LogTexts.h"
#include "log/OperationLog.h"
#include "maintenance/IndexFiles.h"
#include "platform/AtomicFile.h"
#include "platform/FileAccess.h"
#include "platform/FileErrors.h"
#include "platform/FileNames.h"
#include "platform/Files.h"

namespace ari {

namespace {

bool SameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    return std::filesystem::equivalent(a, b, ec) && !ec;
}

}  // namespace

TransferOutcome TransferIndex(const std::string& entry, const std::string& templateFolder,
                              const std::string& liveFolder, TTable& live, TransferredTags tags) {
    AddLog(CopyIndexLine(live.TableName()));

    const std::string indexName = IndexFileName(entry);
    const auto templateNames = FilesNamedNoCase(templateFolder, indexName);
    if (templateNames.empty())
        return TransferOutcome::NoTemplateIndex;
    const std::string source = templateFolder + templateNames.front();
    if (!FileReadable(source))
        return TransferOutcome::NoTemplateIndex;

    const auto liveNames = FilesNamedNoCase(liveFolder, indexName);
    for (const auto& n : liveNames) {
        if (SameFile(source, liveFolder + n))
            return TransferOutcome::NoTemplateIndex;  // template and live folder are one
    }

    // Sole use of the live table and its files until the step ends. A table another user has
    // open or locked is left alone; without a live table there is nothing to hold.
    std::unique_ptr<LiveTableHold> hold;
    try {
        hold = std::make_unique<LiveTableHold>(live);
    } catch (const EInOutError& e) {
        if (e.ErrorCode() != kFileNotFound)
            return TransferOutcome::TableInUse;
    }

    // The copy is made under a hidden name beside the live index and takes its place only when
    // whole and flushed: a copy that fails (a full disk) leaves the live index as it was, and
    // never a table that names an index without one.
    const std::string targetName = liveNames.empty() ? indexName : liveNames.front();
    // A link would be replaced by a file, leaving two diverging indexes under two names.
    if (IsSymbolicLink(liveFolder + targetName))
        throw EInOutError(kAccessDenied, liveFolder + targetName +
                                             " is a symbolic link; the index is not replaced "
                                             "through a link (put the index file itself there)");
    const std::string target = liveFolder + targetName;
    const std::string staged = TemporaryPathFor(target, kCopyPurpose);
    RemoveFile(staged);  // a leftover of an interrupted run
    if (hold && tags == TransferredTags::BuiltHere) {
        // The copy is only read: the index the engine builds from it over the live records
        // takes the live index's place in one rename (at no moment does the live table have an
        // index listing the template's records), and carries what the live index carries.
        if (!CopyFileNoOverwrite(source, staged))
            return TransferOutcome::NotCopied;
        try {
            live.RebuildIndexFrom(staged, target);
        } catch (...) {
            RemoveFile(staged);
            throw;
        }
        RemoveFile(staged);
    } else {
        std::unique_ptr<AtomicFile> copy;
        try {
            copy = std::make_unique<AtomicFile>(target, staged);
            copy->CopyFrom(source);
        } catch (const EInOutError&) {
            return TransferOutcome::NotCopied;  // the destructor removes what was written
        }
        // The copy carries what the live index carries (access lists, attributes), or does not
        // take its place: that failure is raised.
        copy->CarryAttributes();
        try {
            copy->Commit();
        } catch (const EInOutError&) {
            return TransferOutcome::NotCopied;
        }
    }
    // Every other spelling goes, so that no second index file is left beside the new one.
    for (const auto& n : liveNames) {
        if (n != targetName)
            RemoveFile(liveFolder + n);
    }
    return TransferOutcome::Replaced;
}

}  // namespace ari
