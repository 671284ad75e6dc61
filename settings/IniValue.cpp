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
void RefuseNul(const std::string& text, const QString& key) {
    if (text.find('\0') == std::string::npos)
        return;
    QString shown = QString::fromStdString(text);
    shown.replace(QChar(u'\0'), QStringLiteral("\\0"));
    throw EConvertError(
        QStringLiteral("'%1' is not a valid value for %2").arg(shown, key).toStdString());
}

}  // namespace

void IniValue(const QString& path, const QString& section, const QString& key,
              const QString& newValue, bool write, bool erase, QString& value) {
    value.clear();
    // Opening the file as a profile file touches nothing on disk: each step below opens and
    // closes it by itself.
    const std::string file = path.toStdString();
    const std::string sec = section.toStdString();
    const std::string k = key.toStdString();
    if (write && !erase) {
        // Refused before the file is touched: writing it and then refusing the read-back would
        // report a failure over a changed file.
        RefuseNul(newValue.toStdString(), key);
        try {
            ari::WriteProfileString(file, sec, k, newValue.toStdString());
        } catch (const Exception&) {
            ThrowUnableToWrite(file);
        }
    }
    const std::string read = ari::ReadProfileValue(file, sec, k);
    RefuseNul(read, key);
    value = QString::fromStdString(read);
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
