// The engine's helpers over the seam through which files that replace others are written,
// flushed and renamed (platform/FileOps.h): whole writes, flushes and renames that throw the
// engine's file errors naming the file.
#pragma once

#include <sys/types.h>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/FileOps.h"
#include "platform/ScopedFd.h"

namespace ari::engine {

// The seam itself lives in the platform layer, so that the settings file and the template
// unpacking go through it too.
using ari::CurrentFileOps;
using ari::FileOps;
using ari::SetFileOpsForTesting;

// Writes all of `data` through CurrentFileOps, retrying short writes and EINTR; throws
// EInOutError (with the file named) on failure.
void WriteAll(int fd, const void* data, size_t size, const std::string& path);
// Writes at an offset (pwrite) through the same seam: seeks, then WriteAll.
void WriteAllAt(int fd, uint64_t offset, const void* data, size_t size, const std::string& path);
// fsync through the seam; throws EInOutError on failure.
void SyncFile(int fd, const std::string& path);
// rename through the seam; throws EInOutError on failure.
void RenameFile(const std::string& from, const std::string& to);
// Flushes a folder's entry list so that renames inside it survive a crash (best effort).
void SyncFolder(const std::string& folder);

// Reads exactly `size` bytes at `offset`; returns the bytes read (short only at end of file).
// Throws EInOutError on a read error.
size_t ReadAt(int fd, uint64_t offset, void* data, size_t size, const std::string& path);

}  // namespace ari::engine
