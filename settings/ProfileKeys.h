// One key of a profile file read, written or deleted: the file read whole and replaced whole
// (platform/ProfileFile.h), its text parsed and changed by ProfileText (settings/ProfileText.h).
#pragma once

#include <string>

#include "platform/ProfileFile.h"
#include "settings/ProfileText.h"

namespace ari {

// Reads one key of a profile file; a missing or unreadable file, section or key reads as "".
std::string ReadProfileString(const std::string& path, const std::string& section,
                              const std::string& key);

// Reads one key of a profile file; a missing file, section or key reads as "". An existing file
// that cannot be read as a profile file throws EInOutError naming it: anything but a regular
// file (a pipe, device or folder; never waited on nor read without end), a file longer than
// kMaxProfileFileBytes, a read error.
std::string ReadProfileValue(const std::string& path, const std::string& section,
                             const std::string& key);

// Writes one key (ProfileText::Write), creating the file when it is missing. The new file
// content is written beside the file, flushed to disk and renamed over it (ReplaceProfileFile),
// so the file is either the old one or the new one, and on disk when the call returns. The new file
// keeps the old one's encoding and carries what it carried (CarryFileAttributes: access lists and
// other extended attributes, owner and group where allowed, permissions); a symbolic link is
// followed, and the file it names is replaced in its own folder. What writes that ended part
// way left beside the file ("<name>.XXXXXX", held by no writer) is removed first.
// Throws EInOutError on any failure (also for an entry IsWritableProfileEntry refuses,
// with kInvalidFileName); the file is then unchanged.
void WriteProfileString(const std::string& path, const std::string& section, const std::string& key,
                        const std::string& value);

// Deletes one key the same way; a missing file, section or key is left as it is.
void DeleteProfileKey(const std::string& path, const std::string& section, const std::string& key);

}  // namespace ari
