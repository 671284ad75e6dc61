// File-system operations of the program, in the platform's own terms. Paths are UTF-8 text;
// folder texts end in the platform's separator. Files.cpp holds what goes through Env;
// Files_posix.cpp the executable's path, the current folder, the copy and the rename unless taken.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ari {

// The platform's path separator ('/' here; '\' on Windows, where '/' separates too).
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// True for a character that separates the steps of a path: the separator, and on Windows '/'.
constexpr bool IsPathSeparator(char c) {
#ifdef _WIN32
    return c == '\\' || c == '/';
#else
    return c == kPathSeparator;
#endif
}

// True when `path` is absolute: "/..." here; on Windows "C:\...", "\\server\..." or "\\?\...".
bool IsAbsolutePath(const std::string& path);

// Text with a trailing separator added when its last character is not one.
std::string WithTrailingSeparator(const std::string& folder);

// Full path of the running executable.
std::string ExecutablePath();
// Folder part of a path including its trailing separator ("" when it has none).
std::string ExtractFilePath(const std::string& path);
// File name part of a path.
std::string ExtractFileName(const std::string& path);

std::string CurrentFolder();
// `path` when it is absolute, else `path` taken from the current folder.
std::string AbsolutePath(const std::string& path);
// Makes `folder` the process's current folder; throws EInOutError on failure.
void SetCurrentFolder(const std::string& folder);

bool FileExists(const std::string& path);      // true for regular files only
bool FolderExists(const std::string& path);    // true for folders only
bool IsSymbolicLink(const std::string& path);  // the last step of the path is a link
// Removes a file; returns false on failure (callers that ignore failures say so).
bool RemoveFile(const std::string& path);
// Copies the regular file `from` to `to` without overwriting an existing `to`; false on any
// failure (also when `from` is a pipe, device or folder).
bool CopyFileNoOverwrite(const std::string& from, const std::string& to);
// Renames the file or folder `from` to `to` (both in one folder) unless `to` exists, and
// flushes the folder; false on failure, `to` then as it was.
bool RenameNoReplace(const std::string& from, const std::string& to);
// Removes an empty folder; false on failure.
bool RemoveFolder(const std::string& path);
// Creates one folder; false on failure (an existing folder is a failure).
bool MakeFolder(const std::string& path);
// Creates a folder with all missing parents; false on failure.
bool MakeFolderPath(const std::string& path);

// Names of the regular, non-hidden files of `folder` whose name matches `mask` ("*.dbf"),
// compared without regard to case; sorted without regard to case. Throws EInOutError when the
// folder cannot be read.
std::vector<std::string> ListFiles(const std::string& folder, const std::string& mask);

// The names of the regular files in `folder` that equal `name` without regard to case: the
// exact name first when it exists, then the other spellings.
std::vector<std::string> FilesNamedNoCase(const std::string& folder, const std::string& name);
// The first of FilesNamedNoCase, or "" when there is none.
std::string FindFileNoCase(const std::string& folder, const std::string& name);

// Case-insensitive comparison of ASCII letters; other bytes compare as they are.
bool EqualsNoCase(const std::string& a, const std::string& b);
bool LessNoCase(const std::string& a, const std::string& b);
bool MatchesMask(const std::string& name, const std::string& mask);

// Blocks the calling thread.
void SleepMilliseconds(unsigned ms);

}  // namespace ari
