// The template archive carried inside the executable: writing it out as a file and unpacking
// it into the template folder. The archive itself is a resource of the program, found by name
// without regard to case (TemplateResource.qrc, built from the generated archive).
#pragma once

#include <QByteArray>
#include <QString>

// The text of the message box shown when the archive cannot be written out.
inline constexpr const char* kExtractFailedMessage = "خطا در استخراج فایل - client";

// Writes the raw-data resource `resourceName` to `filePath`: does nothing when a file exists
// there; creates `folder` (one level, a failure ignored); copies the resource from its first
// byte in chunks of at most 61,440 bytes. Raises Exception when the resource is missing or the
// file cannot be created or written; the file is closed in every case.
void WriteResourceFile(const QString& resourceName, const QString& filePath, const QString& folder);

// Deletes a file at `filePath` (a failure ignored) and writes the resource there. On an error
// shows the message box kExtractFailedMessage and returns false; true when the file was written.
bool SaveResourceFile(const QString& filePath, const QString& resourceName);

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
bool UnzipAll(const QString& archivePath, const QString& folder);

// Completes an extraction that ended part way: UnzipAll, except that an entry whose name is
// taken in `folder` already (a file renamed into place whole, or one the administrator put or
// changed there) is left as it is, and the hidden temporary files an ended extraction left for
// a missing entry are removed first.
bool UnzipMissing(const QString& archivePath, const QString& folder);

namespace ari {

// The bytes of the raw-data resource `name` (case ignored); false when there is none.
bool FindRawResource(const QString& name, QByteArray& data);

// True when a zip entry name is safe to extract below a folder: not empty, not absolute, no
// drive letter, no ".." step (with '/' or '\' as separators).
bool IsSafeEntryName(const std::string& name);

}  // namespace ari
