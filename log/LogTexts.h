// Every line that the schedule tick, the maintenance run, the index transfer and the index
// rebuild write to the operation log, each made by one function here: "where is the packing
// line written?" is answered by PackingLine and its callers.
//
// Lines fall into three families by their first characters: "---" a step or a result,
// "------" a sub-step (one per index added), three backslashes a problem that stops or holds
// back the work. A time stands between double quotes; callers pass it as a long time text
// ("HH:MM:SS", settings/Formats.h), taken when the catalogue says. Texts are UTF-8.
#pragma once

#include <string>

namespace ari {

// ---- the schedule tick
// "---Checking... Time: "<time>"": the first line of every tick (written clearing the log).
std::string CheckingLine(const std::string& time);
// "\\\There are <n> users connected to the server. Time: "<time>"": no run follows.
std::string UsersConnectedLine(int sessions, const std::string& time);
// "---Start reindex Time: "<time>"": just before the maintenance run.
std::string StartLine(const std::string& time);

// ---- the session monitor
// "\\\The sessions cannot be listed (<why>): no pass until they can. Time: "<time>"": said when
// a listing fails, and again only once a listing has succeeded or fails for another reason.
std::string SessionsNotListedLine(const std::string& why, const std::string& time);
// "---Log off <user>, session <id>, <state> Time: "<time>"": each logoff asked for.
std::string LogoffLine(const std::string& user, const std::string& id, const std::string& state,
                       const std::string& time);
// "\\\Log off <user>, session <id> failed: <why> Time: "<time>"".
std::string LogoffFailedLine(const std::string& user, const std::string& id, const std::string& why,
                             const std::string& time);

// ---- the maintenance run
// "\\\Directory <folder> does not exists!": `folder` as the run uses it, with its separator.
std::string MissingTemplateFolderLine(const std::string& folder);
// The folder texts are empty: the run touches no table.
std::string EmptyTemplateFolderTextLine();
std::string EmptyLiveFolderTextLine();
// "---Packing <table> ... ": before each table of the pack pass.
std::string PackingLine(const std::string& table);
// "---ReIndex has successfully Time: "<end of the index pass>"".
std::string IndexPassDoneLine(const std::string& indexPassEnd);
// "---Pack has successfully Time: "<time>"".
std::string PackPassDoneLine(const std::string& time);
// "\\\Error "<message>" Time: "<time>"": the message unchanged, quotes and line breaks kept.
std::string ErrorLine(const std::string& message, const std::string& time);

// ---- the headless runner
// "\\\Another pass is running on these tables. Time: "<time>"": the run marker is held by
// another pass (the window's or another runner's); nothing was touched.
std::string AnotherPassRunningLine(const std::string& time);
// "\\\Error in table <table>: "<message>" Time: "<time>"": which table a failed run stopped at.
std::string TableErrorLine(const std::string& table, const std::string& message,
                           const std::string& time);
// "\\\Stopped on request after table <table> Time: "<time>"": a stop between two tables
// (`table` is the last one finished, "" when none was).
std::string StoppedLine(const std::string& table, const std::string& time);
// "---Verify <table> OK" and "\\\Verify <table> failed: "<fault>" Time: "<time>"".
std::string VerifyOkLine(const std::string& table);
std::string VerifyFailedLine(const std::string& table, const std::string& fault,
                             const std::string& time);
// "---Leftover <what>": a name an interrupted pass left in the live folder, and what was done
// with it (put back or removed), before the pass begins.
std::string LeftoverLine(const std::string& what);
// "\\\The journal <path> cannot be written": said once; the pass goes on without it.
std::string JournalUnwritableLine(const std::string& path);

// ---- the index transfer and the index rebuild
// "---Copy Index <table>": before a table's index file is copied.
std::string CopyIndexLine(const std::string& table);
// "------Add Index <table> <index>": before each index is added to a live table.
std::string AddIndexLine(const std::string& table, const std::string& index);

}  // namespace ari
