// The template archive carried inside the executable: writing it out as a file and unpacking
// it into the template folder. The archive itself is a raw-data resource compiled into the
// program (a source file generated from the archive at build time), found by name without regard
// to case. Paths are UTF-8.
#pragma once

#include <string>

// The text of the message box shown when the archive cannot be written out.
inline constexpr const char* kExtractFailedMessage = "خطا در استخراج فایل - client";

// Writes the raw-data resource `resourceName` to `filePath`: does nothing when a file exists
// there; creates `folder` (one level, a failure ignored); copies the resource from its first
// byte in chunks of at most 61,440 bytes. Raises Exception when the resource is missing or the
// file cannot be created or written; the file is closed in every case.
void WriteResourceFile(const std::string& resourceName, const std::string& filePath,
                       const std::string& folder);

// Deletes a file at `filePath` (a failure ignored) and writes the resource there. On an error
// shows the message box kExtractFailedMessage and returns false; true when the file was written.
bool SaveResourceFile(const std::string& filePath, const std::string& resourceName);

// Extracts every entry of the zip archive `archivePath` into `folder`, in central-directory
// order, with the stored modification times and, for MS-DOS/Windows entries, the read-only
// attribute (no write permission); Unix entries keep their permission bits.
// Nothing is ever written outside `folder`: when any entry has an absolute name, a drive
// letter, a ".." step or is a symbolic link, nothing at all is extracted and the result is
// false. Each file is written under a temporary name in its folder and renamed over the real
// name once complete, so a failed entry never leaves a half-written file under its name.
// Entries whose data do not match their stored size or CRC-32 fail. Returns false on any
// failure (entries extracted before it remain); shows nothing.
// A file an entry replaces keeps its extended attributes, owner and group
// (CarryFileAttributes); an attribute that cannot be carried fails the entry.
bool UnzipAll(const std::string& archivePath, const std::string& folder);

// Completes an extraction that ended part way: UnzipAll, except that an entry whose name is
// taken in `folder` already (a file renamed into place whole, or one the administrator put or
// changed there) is left as it is, and the hidden temporary files an ended extraction left for
// a missing entry are removed first.
bool UnzipMissing(const std::string& archivePath, const std::string& folder);

// Unpacks the embedded templates into `templateDir` (with its trailing separator) unless that
// folder exists already. A failed write shows its message box (SaveResourceFile); a failed
// unpack shows nothing and keeps the zip file for inspection.
// The archive is written into a hidden staging folder that takes the template folder's name
// only once the archive is whole inside it, and the archive is removed only after every entry
// is out: a start that ends at any point leaves either no template folder (the staging folder
// is taken up again) or one that still holds the archive. Such a folder is completed at the next
// start: the archive is written again and every missing entry unpacked; entries in place stay
// (each was renamed into place whole, or is the administrator's own).
void UnpackTemplatesIfMissing(const std::string& templateDir);

namespace ari {

// The bytes of the raw-data resource `name` (case ignored); false when there is none.
bool FindRawResource(const std::string& name, std::string& data);

// True when a zip entry name is safe to extract below a folder: not empty, not absolute, no
// drive letter, no ".." step (with '/' or '\' as separators).
bool IsSafeEntryName(const std::string& name);

}  // namespace ari
