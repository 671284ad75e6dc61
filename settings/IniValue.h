// Access to one key of the settings file: the one function through which the program reads
// and writes its profile-file settings.
#pragma once

#include <string>

// For one key of the profile file `path`, in this order: sets `value` to ""; when `write` is
// set and `erase` is not, writes `newValue`; reads the key's value into `value` ("" when the
// file, section or key is missing); when `erase` is set, deletes the key; when `write` is set,
// the file is already on disk (every write is flushed before it returns).
// Throws Exception "Unable to write to <path>" when writing or deleting fails (the file keeps
// its previous content; a file that cannot be read cannot be written either), EInOutError
// whose message starts with the path when an existing file cannot be read (ReadProfileValue: a
// pipe, device or folder, a file over kMaxProfileFileBytes, an open or read the system
// refuses), and EConvertError
// "'<value>' is not a valid value for <key>" for a value that holds a NUL character (shown as
// \0), which the platform's profile functions would cut short: a value read so, or a new value
// so (refused before the file is touched).
// Texts are UTF-8.
void IniValue(const std::string& path, const std::string& section, const std::string& key,
              const std::string& newValue, bool write, bool erase, std::string& value);
