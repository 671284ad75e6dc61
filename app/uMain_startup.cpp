// Window creation (the startup sequence) and the settings buttons: save and the two folder
// browse buttons. Also the definitions of the process-wide values.
#include <QTime>

#include "app/uMain.h"
#include "maintenance/RunSummary.h"
#include "platform/Dialogs.h"
#include "platform/FileNames.h"
#include "platform/Files.h"
#include "settings/Formats.h"
#include "settings/IniValue.h"
#include "templates/TemplateArchive.h"

QString AppDir;
QString SettingsFile;
QString TemplateDir;
QString TodayStamp;
bool ProcessedToday = false;
TfMain* fMain = nullptr;

namespace {

const QString kSettingsSection = QStringLiteral("Setting");
const QString kSettingsFileName = QString::fromLatin1(ari::kSettingsFileName);
const QString kTemplateFolderName = QString::fromLatin1(ari::kTemplateFolderName);
const QString kTemplateArchiveName = QString::fromLatin1(ari::kTemplateArchiveName);
const QString kTemplateResourceName = QStringLiteral("mdx");
const QString kTrue = QStringLiteral("-1");
const QString kFalse = QStringLiteral("0");

// Reads one key of the settings file; "" when missing.
QString ReadSetting(const QString& key) {
    QString value;
    IniValue(SettingsFile, kSettingsSection, key, QString(), false, false, value);
    return value;
}

// Writes one key of the settings file; raises "Unable to write to <file>" on failure.
void WriteSetting(const QString& key, const QString& value) {
    QString readBack;
    IniValue(SettingsFile, kSettingsSection, key, value, true, false, readBack);
}

QTime ToQTime(ari::TDateTime value) {
    const ari::DateTimeParts p = ari::DecodeDateTime(value);
    return QTime(p.hour, p.minute, p.second, p.millisecond);
}

QString PickerText(const QTimeEdit* picker) {
    const QTime t = picker->time();
    return ari::LongTimeText(ari::EncodeTime(t.hour(), t.minute(), t.second(), t.msec()));
}

QString FlagText(const QCheckBox* box) {
    return box->isChecked() ? kTrue : kFalse;
}

// Runs a conversion of the value of `key`; its error names the key and the settings file
// after the conversion's own text: "'25:00' is not a valid time (key End in <file>)".
template <typename Convert>
auto ConvertSetting(const QString& key, Convert convert) {
    try {
        return convert();
    } catch (const EConvertError& e) {
        throw EConvertError(e.Message() + " (key " + key.toStdString() + " in " +
                            SettingsFile.toStdString() + ")");
    }
}

// Sets `box` from the flag text of `key`; an empty text leaves the box as it is. Raises for a
// text that is not a flag.
void ApplyFlag(const QString& key, const QString& text, QCheckBox* box) {
    if (!text.isEmpty())
        box->setChecked(ConvertSetting(key, [&] { return ari::StrToBool(text); }));
}

// Unpacks the embedded templates into TemplateDir unless that folder exists already. A failed
// write shows its message box (SaveResourceFile); a failed unpack shows nothing and keeps the
// zip file for inspection.
// The archive is written into a hidden staging folder that takes the template folder's name
// only once the archive is whole inside it, and the archive is removed only after every entry
// is out: a start that ends at any point leaves either no template folder (the staging folder
// is taken up again) or one that still holds the archive. Such a folder is completed at the next
// start: the archive is written again and every missing entry unpacked; entries in place stay
// (each was renamed into place whole, or is the administrator's own).
void UnpackTemplatesIfMissing() {
    const std::string folder = TemplateDir.toStdString();
    const QString zipPath = TemplateDir + kTemplateArchiveName;
    if (ari::FolderExists(folder)) {
        if (!ari::FileExists(zipPath.toStdString()))
            return;
        if (SaveResourceFile(zipPath, kTemplateResourceName) && UnzipMissing(zipPath, TemplateDir))
            ari::RemoveFile(zipPath.toStdString());
        return;
    }
    const std::string target = folder.substr(0, folder.size() - 1);  // without the separator
    const std::string staging = ari::UnpackingPathFor(target);
    const bool made = ari::MakeFolderPath(staging);  // a failure surfaces as the archive's box
    const QString stagedZip = QString::fromStdString(staging + "/") + kTemplateArchiveName;
    if (!SaveResourceFile(stagedZip, kTemplateResourceName)) {
        ari::RemoveFile(stagedZip.toStdString());  // what a failed write left of it
        if (made)
            ari::RemoveFolder(staging);
        return;
    }
    if (!ari::RenameNoReplace(staging, target)) {
        ari::RemoveFile(stagedZip.toStdString());
        ari::RemoveFolder(staging);
        ari::ShowMessage(kExtractFailedMessage);
        return;
    }
    if (ari::FileExists(zipPath.toStdString()) && UnzipAll(zipPath, TemplateDir))
        ari::RemoveFile(zipPath.toStdString());
}

}  // namespace

void TfMain::FormCreate() {
    // Paths come from the executable's own location, never from the current folder.
    AppDir = QString::fromStdString(ari::ExtractFilePath(Env().executablePath));
    SettingsFile = AppDir + kSettingsFileName;
    TemplateDir = AppDir + kTemplateFolderName + QChar(ari::kPathSeparator);
    // Every log line, with its date and time, also goes to the run journal beside the program.
    journal_ = std::make_unique<ari::JournalLog>(AppDir.toStdString(), [this] { return Now(); });
    ApplyFormatSettings();
    TodayStamp = ari::ShortDateText(Now());
    ProcessedToday = false;

    // A value that is not a time or not a flag raises here and ends the sequence at that step.
    const QString begin = ReadSetting(QStringLiteral("Begin"));
    const QString end = ReadSetting(QStringLiteral("End"));
    if (!begin.isEmpty())
        tmpckrBegin->setTime(ToQTime(
            ConvertSetting(QStringLiteral("Begin"), [&] { return ari::StrToTime(begin); })));
    if (!end.isEmpty())
        tmpckrEnd->setTime(
            ToQTime(ConvertSetting(QStringLiteral("End"), [&] { return ari::StrToTime(end); })));
    LESource->setText(ReadSetting(QStringLiteral("Source")));
    LEMaghsad->setText(ReadSetting(QStringLiteral("Dest")));

    UnpackTemplatesIfMissing();
    if (LESource->text().isEmpty())
        LESource->setText(TemplateDir);

    const QString transfer = ReadSetting(QStringLiteral("Transfer"));
    const QString pack = ReadSetting(QStringLiteral("Pack"));
    const QString reindex = ReadSetting(QStringLiteral("Reindex"));
    const QString automat = ReadSetting(QStringLiteral("Automat"));
    ApplyFlag(QStringLiteral("Transfer"), transfer, CBCopyRe);
    ApplyFlag(QStringLiteral("Pack"), pack, CBPack);
    ApplyFlag(QStringLiteral("Reindex"), reindex, CBReIndex);
    ApplyFlag(QStringLiteral("Automat"), automat, chkAutomat);

    if (chkAutomat->isChecked())
        btnStartClick();
}

void TfMain::BitBtn1Click() {
    // Each key is read from its control at the moment it is written; a failure stops the save
    // at that key, the keys before it staying written.
    WriteSetting(QStringLiteral("Begin"), PickerText(tmpckrBegin));
    WriteSetting(QStringLiteral("End"), PickerText(tmpckrEnd));
    WriteSetting(QStringLiteral("Source"), LESource->text());
    WriteSetting(QStringLiteral("Dest"), LEMaghsad->text());
    WriteSetting(QStringLiteral("Transfer"), FlagText(CBCopyRe));
    WriteSetting(QStringLiteral("Reindex"), FlagText(CBReIndex));
    WriteSetting(QStringLiteral("Pack"), FlagText(CBPack));
    WriteSetting(QStringLiteral("Automat"), FlagText(chkAutomat));
}

void TfMain::BitBtn2Click() {
    std::string folder;
    if (ari::PickFolder(folder))
        LEMaghsad->setText(QString::fromStdString(folder));
}

void TfMain::BitBtn3Click() {
    std::string folder;
    if (ari::PickFolder(folder))
        LESource->setText(QString::fromStdString(folder));
}
