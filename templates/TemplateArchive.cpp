#include "templates/TemplateArchive.h"

#include <unzip.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "platform/AtomicFile.h"
#include "platform/Dialogs.h"
#include "platform/Env.h"
#include "platform/Exception.h"
#include "platform/FileAccess.h"
#include "platform/FileErrors.h"
#include "platform/FileNames.h"
#include "platform/Files.h"
#include "platform/ScopedFd.h"
#include "templates/EmbeddedResources.h"

namespace {

constexpr size_t kCopyChunk = 61440;
const char kTemplateResourceName[] = "mdx";

// zip "version made by" host systems and attribute bits.
constexpr unsigned kHostMsDos = 0;
constexpr unsigned kHostUnix = 3;
constexpr unsigned kHostWindowsNtfs = 11;
constexpr unsigned kHostVfat = 14;
constexpr unsigned long kDosReadOnly = 0x01;
// A Unix host keeps the file's mode in the high half of the external attributes: its type
// bits say a regular file or a symbolic link.
constexpr unsigned kUnixTypeMask = 0170000;
constexpr unsigned kUnixRegular = 0100000;
constexpr unsigned kUnixLink = 0120000;

bool SameNameNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

// The embedded resource of that name, case ignored; null when there is none.
const ari::EmbeddedResource* FindResource(const std::string& name) {
    for (const ari::EmbeddedResource& r : ari::EmbeddedResources())
        if (SameNameNoCase(r.name, name))
            return &r;
    return nullptr;
}

std::string OsMessage(int err) {
    return ari::InOutErrorFromErrno(err).Message();
}

void WriteAll(ari::FileHandle fd, const char* data, size_t size, const std::string& path) {
    for (size_t done = 0; done < size;) {
        const int64_t w = ari::Env::Default()->Write(fd, data + done, size - done);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            throw Exception("Cannot write file \"" + path + "\". " + OsMessage(errno));
        }
        done += static_cast<size_t>(w);
    }
}

// Splits an entry name at '/' and '\' (both are separators in zip names of this platform
// family).
std::vector<std::string> NameParts(const std::string& name) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : name) {
        if (c == '/' || c == '\\') {
            parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    parts.push_back(part);
    return parts;
}

bool IsSymlinkEntry(const unz_file_info64& info) {
    const unsigned host = (info.version >> 8) & 0xFF;
    const unsigned mode = (info.external_fa >> 16) & 0xFFFF;
    return host == kHostUnix && (mode & kUnixTypeMask) == kUnixLink;
}

// Creates `rel` (folder parts relative to `base`) one level at a time; refuses to pass through
// anything that is not a real folder, so a symbolic link inside the target cannot lead out.
bool MakeFoldersBelow(const std::string& base, const std::vector<std::string>& rel) {
    std::string path = base;
    for (const std::string& part : rel) {
        if (part.empty() || part == ".")
            continue;
        path += part;
        ari::FileInfo st;
        if (ari::Env::Default()->PathInfo(path, false, &st) == 0) {
            if (st.kind != ari::NameKind::Folder)
                return false;
        } else if (ari::Env::Default()->MakeFolder(path, 0755) != 0) {
            return false;
        }
        path += '/';
    }
    return true;
}

time_t DosTimeToLocal(const tm_unz& d) {
    struct tm t = {};
    t.tm_year = static_cast<int>(d.tm_year) - 1900;
    t.tm_mon = static_cast<int>(d.tm_mon);
    t.tm_mday = static_cast<int>(d.tm_mday);
    t.tm_hour = static_cast<int>(d.tm_hour);
    t.tm_min = static_cast<int>(d.tm_min);
    t.tm_sec = static_cast<int>(d.tm_sec);
    t.tm_isdst = -1;  // DOS times are local wall-clock times
    return mktime(&t);
}

// Removes what an extraction that ended part way left beside `target`: the hidden files
// HiddenUniqueTemporaryPattern(target) that ExtractCurrent writes an entry into before its
// rename.
void RemoveStaleEntryTemporaries(const std::string& dir, const std::string& fileName) {
    ari::Env* env = ari::Env::Default();
    std::vector<std::string> names;
    if (env->ListFolder(dir, &names) != 0)
        return;
    for (const std::string& name : names) {
        if (!ari::IsUniqueTemporaryOf(name, fileName, true))
            continue;
        if (ari::KindOfName(dir + name) == ari::NameKind::Regular)
            env->Remove(dir + name);
    }
}

// Extracts the current entry of `zip`; with `missingOnly`, an entry whose name is taken already
// is left as it is. Throws nothing; false on any failure.
bool ExtractCurrent(unzFile zip, const std::string& folder, bool missingOnly) {
    unz_file_info64 info;
    char nameBuf[4096];
    if (unzGetCurrentFileInfo64(zip, &info, nameBuf, sizeof nameBuf, nullptr, 0, nullptr, 0) !=
        UNZ_OK)
        return false;
    const std::string name(nameBuf);
    std::vector<std::string> parts = NameParts(name);
    const std::string fileName = parts.back();
    parts.pop_back();
    if (!MakeFoldersBelow(folder, parts))
        return false;
    if (fileName.empty())
        return true;  // a folder entry

    std::string dir = folder;
    for (const std::string& p : parts)
        if (!p.empty() && p != ".")
            dir += p + "/";
    // rename() below replaces a link of that name rather than following it.
    const std::string target = dir + fileName;
    const ari::NameKind existing = ari::KindOfName(target);
    const bool exists = existing != ari::NameKind::Missing;
    if (missingOnly) {
        if (exists)
            return true;  // renamed into place whole, or the administrator's own file
        RemoveStaleEntryTemporaries(dir, fileName);
    }

    std::unique_ptr<ari::AtomicFile> out;
    try {
        out = std::make_unique<ari::AtomicFile>(target, ari::HiddenUniqueTemporaryPattern(target),
                                                ari::AtomicFile::Naming::Unique);
    } catch (const EInOutError&) {
        return false;
    }
    // Every failure below returns false; the temporary then goes with `out`.
    if (unzOpenCurrentFile(zip) != UNZ_OK)
        return false;
    std::vector<char> buf(1 << 16);
    ZPOS64_T total = 0;
    bool ok = true;
    for (;;) {
        const int n = unzReadCurrentFile(zip, buf.data(), static_cast<unsigned>(buf.size()));
        if (n == 0)
            break;
        if (n < 0) {
            ok = false;
            break;
        }
        total += static_cast<ZPOS64_T>(n);
        if (total > info.uncompressed_size) {
            ok = false;
            break;
        }
        try {
            out->Write(buf.data(), static_cast<size_t>(n));
        } catch (const EInOutError&) {
            ok = false;
            break;
        }
    }
    // Closing after the whole entry was read compares the CRC-32.
    const int closeRc = unzCloseCurrentFile(zip);
    if (!ok || closeRc != UNZ_OK || total != info.uncompressed_size)
        return false;

    unsigned mode = 0644;
    const unsigned host = (info.version >> 8) & 0xFF;
    if (host == kHostMsDos || host == kHostWindowsNtfs || host == kHostVfat) {
        if (info.external_fa & kDosReadOnly)
            mode = 0444;
    } else if (host == kHostUnix && ((info.external_fa >> 16) & kUnixTypeMask) == kUnixRegular) {
        mode = static_cast<unsigned>((info.external_fa >> 16) & 0777);
    }
    const time_t stamp = DosTimeToLocal(info.tmu_date);
    // A file replaced keeps what it carried (access lists, attributes, owner); the entry's own
    // permissions then apply.
    try {
        if (existing == ari::NameKind::Regular)
            out->CarryAttributes();
        ari::Env* env = ari::Env::Default();
        if (env->SetPermissions(out->Fd(), mode) != 0 || env->SetTimes(out->Fd(), stamp) != 0)
            return false;
        out->Commit();
    } catch (const EInOutError&) {
        return false;
    }
    return true;
}

// Checks every entry before anything is written.
bool AllEntriesSafe(unzFile zip) {
    int rc = unzGoToFirstFile(zip);
    while (rc == UNZ_OK) {
        unz_file_info64 info;
        char nameBuf[4096];
        if (unzGetCurrentFileInfo64(zip, &info, nameBuf, sizeof nameBuf, nullptr, 0, nullptr, 0) !=
            UNZ_OK)
            return false;
        if (info.size_filename >= sizeof nameBuf)
            return false;
        if (!ari::IsSafeEntryName(nameBuf) || IsSymlinkEntry(info))
            return false;
        rc = unzGoToNextFile(zip);
    }
    return rc == UNZ_END_OF_LIST_OF_FILE;
}

}  // namespace

namespace ari {

bool FindRawResource(const std::string& name, std::string& data) {
    const EmbeddedResource* resource = FindResource(name);
    if (!resource)
        return false;
    data.assign(reinterpret_cast<const char*>(resource->bytes), resource->size);
    return true;
}

bool IsSafeEntryName(const std::string& name) {
    if (name.empty() || name[0] == '/' || name[0] == '\\')
        return false;
    if (name.size() >= 2 && name[1] == ':')
        return false;  // a drive letter
    if (name.find('\0') != std::string::npos)
        return false;
    for (const std::string& part : NameParts(name))
        if (part == "..")
            return false;
    return true;
}

}  // namespace ari

void WriteResourceFile(const std::string& resourceName, const std::string& filePath,
                       const std::string& folder) {
    const std::string& path = filePath;
    if (ari::FileExists(path))
        return;
    ari::MakeFolder(folder);  // one level; an existing folder is fine

    const ari::EmbeddedResource* resource = FindResource(resourceName);
    if (!resource)
        throw Exception("Resource " + resourceName + " not found");
    // Never through a link or over a file put there meanwhile: a user who can write the folder
    // could otherwise have the archive written over any file the program may write.
    ari::ScopedFd out(ari::Env::Default()->Open(
        path, ari::kOpenWrite | ari::kOpenCreate | ari::kOpenExclusive | ari::kOpenNoFollow, 0644));
    if (out.Get() < 0)
        throw Exception("Cannot create file \"" + path + "\". " + OsMessage(errno));
    const char* bytes = reinterpret_cast<const char*>(resource->bytes);
    for (size_t done = 0; done < resource->size; done += kCopyChunk)
        WriteAll(out.Get(), bytes + done, std::min(kCopyChunk, resource->size - done), path);
    if (ari::Env::Default()->Sync(out.Get()) != 0)
        throw Exception("Cannot write file \"" + path + "\". " + OsMessage(errno));
}

bool SaveResourceFile(const std::string& filePath, const std::string& resourceName) {
    const std::string& path = filePath;
    if (ari::FileExists(path) || ari::IsSymbolicLink(path))
        ari::RemoveFile(path);  // a failure shows up below
    try {
        WriteResourceFile(resourceName, filePath, ari::ExtractFilePath(path));
    } catch (const std::exception&) {
        ari::ShowMessage(kExtractFailedMessage);
        return false;
    }
    return true;
}

namespace {

bool Unzip(const std::string& archivePath, const std::string& folder, bool missingOnly) {
    const std::string target = ari::WithTrailingSeparator(folder);
    unzFile zip = unzOpen64(archivePath.c_str());
    if (!zip)
        return false;
    bool ok = AllEntriesSafe(zip);
    if (ok) {
        int rc = unzGoToFirstFile(zip);
        while (ok && rc == UNZ_OK) {
            ok = ExtractCurrent(zip, target, missingOnly);
            if (ok)
                rc = unzGoToNextFile(zip);
        }
        ok = ok && rc == UNZ_END_OF_LIST_OF_FILE;
    }
    if (unzClose(zip) != UNZ_OK)
        ok = false;
    return ok;
}

}  // namespace

bool UnzipAll(const std::string& archivePath, const std::string& folder) {
    return Unzip(archivePath, folder, false);
}

bool UnzipMissing(const std::string& archivePath, const std::string& folder) {
    return Unzip(archivePath, folder, true);
}

void UnpackTemplatesIfMissing(const std::string& templateDir) {
    const std::string& folder = templateDir;
    const std::string zipPath = templateDir + ari::kTemplateArchiveName;
    if (ari::FolderExists(folder)) {
        if (!ari::FileExists(zipPath))
            return;
        if (SaveResourceFile(zipPath, kTemplateResourceName) && UnzipMissing(zipPath, templateDir))
            ari::RemoveFile(zipPath);
        return;
    }
    const std::string target = folder.substr(0, folder.size() - 1);  // without the separator
    const std::string staging = ari::UnpackingPathFor(target);
    const bool made = ari::MakeFolderPath(staging);  // a failure surfaces as the archive's box
    const std::string stagedZip = staging + "/" + ari::kTemplateArchiveName;
    if (!SaveResourceFile(stagedZip, kTemplateResourceName)) {
        ari::RemoveFile(stagedZip);  // what a failed write left of it
        if (made)
            ari::RemoveFolder(staging);
        return;
    }
    if (!ari::RenameNoReplace(staging, target)) {
        ari::RemoveFile(stagedZip);
        ari::RemoveFolder(staging);
        ari::ShowMessage(kExtractFailedMessage);
        return;
    }
    if (ari::FileExists(zipPath) && UnzipAll(zipPath, templateDir))
        ari::RemoveFile(zipPath);
}
