#include "settings/IniValue.h"

#include <string>

#include "platform/Exception.h"
#include "settings/Formats.h"
#include "settings/ProfileKeys.h"

namespace {

[[noreturn]] void ThrowUnableToWrite(const std::string& path) {
    throw Exception("Unable to write to " + path);
}

// The platform's profile functions end a value at a NUL: the rest would be dropped without a
// word, so such a value is refused, whether it was read or is about to be written.
void RefuseNul(const std::string& text, const std::string& key) {
    if (text.find('\0') == std::string::npos)
        return;
    std::string shown;
    for (char c : text) {
        if (c == '\0')
            shown += "\\0";
        else
            shown += c;
    }
    throw EConvertError("'" + shown + "' is not a valid value for " + key);
}

}  // namespace

void IniValue(const std::string& path, const std::string& section, const std::string& key,
              const std::string& newValue, bool write, bool erase, std::string& value) {
    value.clear();
    // Opening the file as a profile file touches nothing on disk: each step below opens and
    // closes it by itself.
    const std::string& file = path;
    const std::string& sec = section;
    const std::string& k = key;
    if (write && !erase) {
        // Refused before the file is touched: writing it and then refusing the read-back would
        // report a failure over a changed file.
        RefuseNul(newValue, key);
        try {
            ari::WriteProfileString(file, sec, k, newValue);
        } catch (const Exception&) {
            ThrowUnableToWrite(file);
        }
    }
    const std::string read = ari::ReadProfileValue(file, sec, k);
    RefuseNul(read, key);
    value = read;
    if (erase) {
        try {
            ari::DeleteProfileKey(file, sec, k);
        } catch (const Exception&) {
            ThrowUnableToWrite(file);
        }
    }
    // Flushing (step 6) has nothing left to do: WriteProfileString returns with the file on
    // disk.
}
