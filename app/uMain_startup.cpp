// Window creation (the startup sequence) and the settings buttons: save and the two folder
// browse buttons. Also the definitions of the process-wide values.
#include <QFileInfo>
#include <QGuiApplication>
#include <QStringList>
#include <QTime>

#include "app/uMain.h"
#include "maintenance/RunSummary.h"
#include "platform/Dialogs.h"
#include "platform/FileNames.h"
#include "platform/Files.h"
#include "platform/ProgramFolders.h"
#include "schedule/ScheduleSettings.h"
#include "settings/Formats.h"
#include "templates/TemplateArchive.h"

QString AppDir;
QString SettingsFile;
QString TemplateDir;
QString TodayStamp;
bool ProcessedToday = false;
TfMain* fMain = nullptr;

namespace {

// The window's texts are UTF-16; the settings, the schedule and the run take UTF-8.
std::string Utf8(const QString& text) {
    return text.toStdString();
}

// Reads one key of the settings file; "" when missing.
QString ReadSetting(const char* key) {
    return QString::fromStdString(ari::ReadSetting(Utf8(SettingsFile), key));
}

// Writes one key of the settings file; raises "Unable to write to <file>" on failure.
void WriteSetting(const char* key, const QString& value) {
    ari::WriteSetting(Utf8(SettingsFile), key, Utf8(value));
}

QTime ToQTime(ari::TDateTime value) {
    const ari::DateTimeParts p = ari::DecodeDateTime(value);
    return QTime(p.hour, p.minute, p.second, p.millisecond);
}

QString PickerText(const QTimeEdit* picker) {
    const QTime t = picker->time();
    return QString::fromStdString(
        ari::LongTimeText(ari::EncodeTime(t.hour(), t.minute(), t.second(), t.msec())));
}

QString FlagText(const QCheckBox* box) {
    return QString::fromLatin1(box->isChecked() ? ari::kTrueText : ari::kFalseText);
}

// The time of `key`'s text; its error names the key and the settings file.
QTime SettingTime(const char* key, const QString& text) {
    return ToQTime(ari::SettingTime(Utf8(SettingsFile), key, Utf8(text)));
}

// Sets `box` from the flag text of `key`; an empty text leaves the box as it is. Raises for a
// text that is not a flag, naming the key and the settings file.
void ApplyFlag(const char* key, const QString& text, QCheckBox* box) {
    if (!text.isEmpty())
        box->setChecked(ari::SettingFlag(Utf8(SettingsFile), key, Utf8(text)));
}

// The folder (or the folders) follow, one a line.
const QString kNoWriteRights = QStringLiteral(
    "این برنامه برای ذخیره تنظیمات و اجرای عملیات به اجازه نوشتن در پوشه خود و در پوشه مقصد "
    "نیاز دارد. شما اجازه نوشتن در این پوشه را ندارید:");
const QString kNoWriteRightsTwo = QStringLiteral(
    "این برنامه برای ذخیره تنظیمات و اجرای عملیات به اجازه نوشتن در پوشه خود و در پوشه مقصد "
    "نیاز دارد. شما اجازه نوشتن در این پوشه‌ها را "
    "ندارید:");

// The folders among `folders` that exist and that this user may not write (an empty text names
// none): the program writes its settings, journal, run marker and templates into its own folders,
// and the run replaces the tables of the live folder.
QStringList UnwritableFolders(const QStringList& folders) {
    QStringList out;
    for (const QString& folder : folders) {
        if (folder.isEmpty())
            continue;
        const QFileInfo info(folder);
        if (info.isDir() && !info.isWritable())
            out << folder;
    }
    return out;
}

}  // namespace

void TfMain::FormCreate() {
    // Paths come from the executable's own location, never from the current folder.
    // Beside the program, or installed in the system's folders (platform/ProgramFolders.h).
    AppDir = QString::fromStdString(ari::ExtractFilePath(Env().executablePath));
    const ari::ProgramFolders folders = ari::ProgramFoldersFor(Utf8(AppDir));
    SettingsFile = QString::fromStdString(folders.settingsFile);
    TemplateDir = QString::fromStdString(folders.templateFolder);
    // Every log line, with its date and time, also goes to the run journal.
    journal_ = std::make_unique<ari::JournalLog>(folders.journalFolder, [this] { return Now(); });
    ApplyFormatSettings();
    if (ari::CurrentFormats().rightToLeft)
        QGuiApplication::setLayoutDirection(Qt::RightToLeft);
    TodayStamp = QString::fromStdString(ari::ShortDateText(Now()));
    ProcessedToday = false;

    // A value that is not a time or not a flag raises here and ends the sequence at that step.
    const QString begin = ReadSetting(ari::kBeginKey);
    const QString end = ReadSetting(ari::kEndKey);
    if (!begin.isEmpty())
        tmpckrBegin->setTime(SettingTime(ari::kBeginKey, begin));
    if (!end.isEmpty())
        tmpckrEnd->setTime(SettingTime(ari::kEndKey, end));
    LESource->setText(ReadSetting(ari::kSourceKey));
    LEMaghsad->setText(ReadSetting(ari::kDestKey));
    // Said once, at start, in one box: a user without the rights would otherwise learn of them
    // only from a save that fails or from a night's pass that never runs.
    // Its own folders: the settings file's and the run marker's (beside the program, one).
    QStringList own{QString::fromStdString(ari::ExtractFilePath(folders.settingsFile))};
    if (QString::fromStdString(folders.stateFolder) != own.front())
        own << QString::fromStdString(folders.stateFolder);
    const QStringList unwritable = UnwritableFolders(own << LEMaghsad->text());
    if (!unwritable.isEmpty())
        ari::ShowMessage(Utf8((unwritable.size() == 1 ? kNoWriteRights : kNoWriteRightsTwo) +
                              u'\n' + unwritable.join(u'\n')));

    // The installed templates are the package's, never written.
    if (!folders.installed)
        UnpackTemplatesIfMissing(Utf8(TemplateDir));
    if (LESource->text().isEmpty())
        LESource->setText(TemplateDir);

    const QString transfer = ReadSetting(ari::kTransferKey);
    const QString pack = ReadSetting(ari::kPackKey);
    const QString reindex = ReadSetting(ari::kReindexKey);
    const QString automat = ReadSetting(ari::kAutomatKey);
    ApplyFlag(ari::kTransferKey, transfer, CBCopyRe);
    ApplyFlag(ari::kPackKey, pack, CBPack);
    ApplyFlag(ari::kReindexKey, reindex, CBReIndex);
    ApplyFlag(ari::kAutomatKey, automat, chkAutomat);

    if (chkAutomat->isChecked())
        btnStartClick();
}

void TfMain::BitBtn1Click() {
    // Each key is read from its control at the moment it is written; a failure stops the save
    // at that key, the keys before it staying written.
    WriteSetting(ari::kBeginKey, PickerText(tmpckrBegin));
    WriteSetting(ari::kEndKey, PickerText(tmpckrEnd));
    WriteSetting(ari::kSourceKey, LESource->text());
    WriteSetting(ari::kDestKey, LEMaghsad->text());
    WriteSetting(ari::kTransferKey, FlagText(CBCopyRe));
    WriteSetting(ari::kReindexKey, FlagText(CBReIndex));
    WriteSetting(ari::kPackKey, FlagText(CBPack));
    WriteSetting(ari::kAutomatKey, FlagText(chkAutomat));
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
