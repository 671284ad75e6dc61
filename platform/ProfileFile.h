// A profile file (INI text) read whole and replaced whole on disk. Bytes only: the text itself
// is parsed by settings/ProfileText.h, and settings/ProfileKeys.h reads and writes one key.
#pragma once

#include <cstddef>
#include <string>

namespace ari {

// Longest profile file read: a settings file is a few hundred bytes; one of megabytes is a
// fault, not a setting.
inline constexpr size_t kMaxProfileFileBytes = size_t{1} << 20;

// The whole file at `path` (a symbolic link followed) into `bytes`; false when it does not
// exist. Throws EInOutError whose message starts with the path for anything but a regular file
// (a pipe, device or folder; never waited on nor read without end), for a file longer than
// kMaxProfileFileBytes, and for an open or a read that the system refuses.
bool ReadProfileFile(const std::string& path, std::string& bytes);

// Puts `bytes` in the place of the file at `path`, creating it when it is missing: written
// beside it, flushed to disk and renamed over it (AtomicFile), so the file is either the old
// one or the new one, and on disk when the call returns. The new file is readable by all and
// carries what the old one carried (CarryFileAttributes: access lists and other extended
// attributes, owner and group where allowed, permissions); a symbolic link is followed, and
// the file it names is replaced in its own folder. What writes that ended part way left beside
// the file (UniqueTemporaryPattern, "<name>.XXXXXX", held by no writer) is removed first.
// Throws EInOutError on any failure; the file is then unchanged.
void ReplaceProfileFile(const std::string& path, const std::string& bytes);

}  // namespace ari
