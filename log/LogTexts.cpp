#include "log/LogTexts.h"

namespace ari {

namespace {
// Three backslash characters: the start of a problem line.
const QString kProblem = QStringLiteral("\\\\\\");

// `text` between double quotes, as the log's times and messages stand.
QString Quoted(const QString& text) {
    return u'"' + text + u'"';
}

}  // namespace

QString CheckingLine(const QString& time) {
    return QStringLiteral("---Checking... Time: ") + Quoted(time);
}

QString UsersConnectedLine(int sessions, const QString& time) {
    return kProblem + QStringLiteral("There are ") + QString::number(sessions) +
           QStringLiteral(" users connected to the server. Time: ") + Quoted(time);
}

QString StartLine(const QString& time) {
    return QStringLiteral("---Start reindex Time: ") + Quoted(time);
}

QString MissingTemplateFolderLine(const QString& folder) {
    return kProblem + QStringLiteral("Directory ") + folder + QStringLiteral(" does not exists!");
}

QString EmptyTemplateFolderTextLine() {
    return kProblem + QStringLiteral("Directory of the template tables (LESource) is empty!");
}

QString EmptyLiveFolderTextLine() {
    return kProblem + QStringLiteral("Directory of the live tables (LEMaghsad) is empty!");
}

QString PackingLine(const QString& table) {
    return QStringLiteral("---Packing ") + table + QStringLiteral(" ... ");
}

QString IndexPassDoneLine(const QString& indexPassEnd) {
    return QStringLiteral("---ReIndex has successfully Time: ") + Quoted(indexPassEnd);
}

QString PackPassDoneLine(const QString& time) {
    return QStringLiteral("---Pack has successfully Time: ") + Quoted(time);
}

QString ErrorLine(const QString& message, const QString& time) {
    return kProblem + QStringLiteral("Error ") + Quoted(message) + QStringLiteral(" Time: ") +
           Quoted(time);
}

QString CopyIndexLine(const QString& table) {
    return QStringLiteral("---Copy Index ") + table;
}

QString AddIndexLine(const QString& table, const QString& index) {
    return QStringLiteral("------Add Index ") + table + u' ' + index;
}

QString AnotherPassRunningLine(const QString& time) {
    return kProblem + QStringLiteral("Another pass is running on these tables. Time: \"") + time +
           u'"';
}

QString TableErrorLine(const QString& table, const QString& message, const QString& time) {
    return kProblem + QStringLiteral("Error in table ") + table + QStringLiteral(": \"") + message +
           QStringLiteral("\" Time: \"") + time + u'"';
}

QString StoppedLine(const QString& table, const QString& time) {
    return (table.isEmpty()
                ? kProblem + QStringLiteral("Stopped on request before the first table")
                : kProblem + QStringLiteral("Stopped on request after table ") + table) +
           QStringLiteral(" Time: \"") + time + u'"';
}

QString VerifyOkLine(const QString& table) {
    return QStringLiteral("---Verify ") + table + QStringLiteral(" OK");
}

QString VerifyFailedLine(const QString& table, const QString& fault, const QString& time) {
    return kProblem + QStringLiteral("Verify ") + table + QStringLiteral(" failed: \"") + fault +
           QStringLiteral("\" Time: \"") + time + u'"';
}

QString JournalUnwritableLine(const QString& path) {
    return kProblem + QStringLiteral("The journal ") + path + QStringLiteral(" cannot be written");
}

}  // namespace ari
