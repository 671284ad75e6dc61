// What the files of platform/win32/ share: the table from a FileHandle (an int, as Env.h
// promises) to the system's HANDLE, the conversion of UTF-8 names to the wide names every call
// takes, and the mapping of the system's error codes onto <cerrno> values.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>

#include "platform/Env.h"

namespace ari::win32 {

// A UTF-8 name as the system's wide name; a name longer than MAX_PATH, when absolute, gets the
// "\\?\" prefix (forward slashes turned into backslashes first), so that deep folders work.
std::wstring WideName(const std::string& utf8);
// A wide text as UTF-8.
std::string Utf8(const std::wstring& wide);
// A wide name that the system gave (GetFinalPathNameByHandleW) without its "\\?\" prefix.
std::string Utf8FromSystemName(const std::wstring& wide);

// The <cerrno> value for a system error code (GetLastError()).
int ErrnoFromSystemError(DWORD code);
// Sets errno from GetLastError(); returns -1 (for `return SetErrnoFromLastError();`).
int SetErrnoFromLastError();

// Takes ownership of `handle` (a pipe's end, say) and gives it a FileHandle that Env::Close
// closes and Env::Read reads.
FileHandle AdoptHandle(HANDLE handle);
// The system handle behind `file`, or INVALID_HANDLE_VALUE (errno EBADF) when there is none. It
// stays valid until `file` and its duplicates are closed, and may change when a lease is taken
// or dropped (the file is opened anew then).
HANDLE SystemHandle(FileHandle file);

}  // namespace ari::win32
