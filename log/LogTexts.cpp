#include "log/LogTexts.h"

namespace ari {

namespace {
// Three backslash characters: the start of a problem line.
const std::string kProblem = "\\\\\\";

// `text` between double quotes, as the log's times and messages stand.
std::string Quoted(const std::string& text) {
    return '"' + text + '"';
}

}  // namespace

std::string CheckingLine(const std::string& time) {
    return std::string("---Checking... Time: ") + Quoted(time);
}

std::string UsersConnectedLine(int sessions, const std::string& time) {
    return kProblem + std::string("There are ") + std::to_string(sessions) +
           std::string(" users connected to the server. Time: ") + Quoted(time);
}

std::string StartLine(const std::string& time) {
    return std::string("---Start reindex Time: ") + Quoted(time);
}

std::string SessionsNotListedLine(const std::string& why, const std::string& time) {
    return kProblem + std::string("The sessions cannot be listed (") + why +
           "): no pass until they can. Time: " + Quoted(time);
}

std::string LogoffLine(const std::string& user, const std::string& id, const std::string& state,
                       const std::string& time) {
    return "---Log off " + user + ", session " + id + ", " + state + " Time: " + Quoted(time);
}

std::string LogoffFailedLine(const std::string& user, const std::string& id, const std::string& why,
                             const std::string& time) {
    return kProblem + std::string("Log off ") + user + ", session " + id + " failed: " + why +
           " Time: " + Quoted(time);
}

std::string MissingTemplateFolderLine(const std::string& folder) {
    return kProblem + std::string("Directory ") + folder + std::string(" does not exists!");
}

std::string EmptyTemplateFolderTextLine() {
    return kProblem + std::string("Directory of the template tables (LESource) is empty!");
}

std::string EmptyLiveFolderTextLine() {
    return kProblem + std::string("Directory of the live tables (LEMaghsad) is empty!");
}

std::string PackingLine(const std::string& table) {
    return std::string("---Packing ") + table + std::string(" ... ");
}

std::string IndexPassDoneLine(const std::string& indexPassEnd) {
    return std::string("---ReIndex has successfully Time: ") + Quoted(indexPassEnd);
}

std::string PackPassDoneLine(const std::string& time) {
    return std::string("---Pack has successfully Time: ") + Quoted(time);
}

std::string ErrorLine(const std::string& message, const std::string& time) {
    return kProblem + std::string("Error ") + Quoted(message) + std::string(" Time: ") +
           Quoted(time);
}

std::string CopyIndexLine(const std::string& table) {
    return std::string("---Copy Index ") + table;
}

std::string AddIndexLine(const std::string& table, const std::string& index) {
    return std::string("------Add Index ") + table + ' ' + index;
}

std::string AnotherPassRunningLine(const std::string& time) {
    return kProblem + std::string("Another pass is running on these tables. Time: \"") + time + '"';
}

std::string LeftoverLine(const std::string& what) {
    return "---Leftover " + what;
}

std::string TableErrorLine(const std::string& table, const std::string& message,
                           const std::string& time) {
    return kProblem + std::string("Error in table ") + table + std::string(": \"") + message +
           std::string("\" Time: \"") + time + '"';
}

std::string StoppedLine(const std::string& table, const std::string& time) {
    return (table.empty() ? kProblem + std::string("Stopped on request before the first table")
                          : kProblem + std::string("Stopped on request after table ") + table) +
           std::string(" Time: \"") + time + '"';
}

std::string VerifyOkLine(const std::string& table) {
    return std::string("---Verify ") + table + std::string(" OK");
}

std::string VerifyFailedLine(const std::string& table, const std::string& fault,
                             const std::string& time) {
    return kProblem + std::string("Verify ") + table + std::string(" failed: \"") + fault +
           std::string("\" Time: \"") + time + '"';
}

std::string JournalUnwritableLine(const std::string& path) {
    return kProblem + std::string("The journal ") + path + std::string(" cannot be written");
}

}  // namespace ari
