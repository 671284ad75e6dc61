// The engine's helpers over the Env calls through which files that replace others are written,
// flushed and renamed (platform/Env.h): whole writes, flushes and renames that throw the
// engine's file errors naming the file. Tests fail these calls through an installed Env.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Env.h"
#include "platform/ScopedFd.h"

namespace ari::engine {

// Writes all of `data` through Env::Write, retrying short writes and EINTR; throws
// EInOutError (with the file named) on failure.
void WriteAll(FileHandle fd, const void* data, size_t size, const std::string& path);
// Writes at an offset through the same call: seeks, then WriteAll.
void WriteAllAt(FileHandle fd, uint64_t offset, const void* data, size_t size,
                const std::string& path);
// Env::Sync; throws EInOutError on failure.
void SyncFile(FileHandle fd, const std::string& path);
// Env::Rename; throws EInOutError on failure.
void RenameFile(const std::string& from, const std::string& to);
// Flushes a folder's entry list so that renames inside it survive a crash (best effort).
void SyncFolder(const std::string& folder);

// Reads exactly `size` bytes at `offset`; returns the bytes read (short only at end of file).
// Throws EInOutError on a read error.
size_t ReadAt(FileHandle fd, uint64_t offset, void* data, size_t size, const std::string& path);

}  // namespace ari::engine
