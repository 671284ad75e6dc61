// Every line that the schedule tick, the maintenance run, the index transfer and the index
// rebuild write to the operation log, each made by one function here: "where is the packing
// line written?" is answered by PackingLine and its callers.
//
// Lines fall into three families by their first characters: "---" a step or a result,
// "------" a sub-step (one per index added), three backslashes a problem that stops or holds
// back the work. A time stands between double quotes; callers pass it as a long time text
// ("HH:MM:SS", settings/Formats.h), taken when the catalogue says.
#pragma once

#include <QString>

namespace ari {

// ---- the schedule tick
// "---Checking... Time: "<time>"": the first line of every tick (written clearing the log).
QString CheckingLine(const QString& time);
// "\\\There are <n> users connected to the server. Time: "<time>"": no run follows.
QString UsersConnectedLine(int sessions, const QString& time);
// "---Start reindex Time: "<time>"": just before the maintenance run.
QString StartLine(const QString& time);

// ---- the maintenance run
// "\\\Directory <folder> does not exists!": `folder` as the run uses it, with its separator.
QString MissingTemplateFolderLine(const QString& folder);
// The folder texts are empty: the run touches no table.
QString EmptyTemplateFolderTextLine();
QString EmptyLiveFolderTextLine();
// "---Packing <table> ... ": before each table of the pack pass.
QString PackingLine(const QString& table);
// "---ReIndex has successfully Time: "<end of the index pass>"".
QString IndexPassDoneLine(const QString& indexPassEnd);
// "---Pack has successfully Time: "<time>"".
QString PackPassDoneLine(const QString& time);
// "\\\Error "<message>" Time: "<time>"": the message unchanged, quotes and line breaks kept.
QString ErrorLine(const QString& message, const QString& time);

// ---- the headless runner
// "\\\Another pass is running on these tables. Time: "<time>"": the run marker is held by
// another pass (the window's or another runner's); nothing was touched.
QString AnotherPassRunningLine(const QString& time);
// "\\\Error in table <table>: "<message>" Time: "<time>"": which table a failed run stopped at.
QString TableErrorLine(const QString& table, const QString& message, const QString& time);
// "\\\Stopped on request after table <table> Time: "<time>"": a stop between two tables
// (`table` is the last one finished, "" when none was).
QString StoppedLine(const QString& table, const QString& time);
// "---Verify <table> OK" and "\\\Verify <table> failed: "<fault>" Time: "<time>"".
QString VerifyOkLine(const QString& table);
QString VerifyFailedLine(const QString& table, const QString& fault, const QString& time);
// "\\\The journal <path> cannot be written": said once; the pass goes on without it.
QString JournalUnwritableLine(const QString& path);

// ---- the index transfer and the index rebuild
// "---Copy Index <table>": before a table's index file is copied.
QString CopyIndexLine(const QString& table);
// "------Add Index <table> <index>": before each index is added to a live table.
QString AddIndexLine(const QString& table, const QString& index);

}  // namespace ari
