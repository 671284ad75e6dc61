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

// A UTF-8 name as the system's wide name. A name that is not fully qualified (relative, from the
// root of the current drive, or drive-relative as "Y:T.DBF") is resolved as the system does
// (GetFullPathNameW); a name of MAX_PATH - 12 characters or more gets the "\\?\" prefix
// ("\\?\UNC\server\..." for "\\server\..."), resolved first, so that names up to the system's
// 32,767 characters work. A name that already has the prefix is taken as it is.
std::wstring WideName(const std::string& utf8);
// A UTF-8 text (a command line, an argument) as the system's wide text, as it is.
std::wstring WideText(const std::string& utf8);
// The full name the system makes of `name` (GetFullPathNameW), `name` itself when it cannot.
std::wstring FullName(const std::wstring& name);
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
