// The session listing that the session monitor reads: decoding the listing, cutting its rows
// at the fixed columns, the counted sessions shown in lstUsers and the rows whose session is
// logged off. Pure functions; the window unit does the process work.
#pragma once

#include <string>
#include <vector>

namespace ari {

// The address that the session tools are asked about.
inline constexpr char kSessionServer[] = "127.0.0.1";

// The four fields of one row, cut at the fixed columns and kept exactly as cut (blanks
// included); a field past the end of a short line is cut short or empty. Columns count UTF-16
// code units, as the listing tool lays them out; the fields are UTF-8 text.
struct SessionRow {
    std::string userName;     // columns 1-23
    std::string sessionName;  // columns 24-42
    std::string id;           // columns 43-46
    std::string state;        // columns 47-54
};

// A counted session (an entry of lstUsers) and the row it was made from.
struct CountedSession {
    std::string text;  // trimmed user name + "(directly);" or ";" + lower-cased trimmed state
    int row = -1;      // index into SessionListing::rows
};

struct SessionListing {
    std::vector<SessionRow> rows;         // one per line after the header, in order
    std::vector<CountedSession> counted;  // rows whose state is active or disconnected, in order
    std::vector<int> logoffRows;          // rows to log off, in order (see LogoffRows)
    // Why the sessions could not be listed (the tool missing, silent, failed or not
    // understood); empty when they were. A failed listing is never "nobody connected": it
    // holds the pass as too many sessions do.
    std::string failure;
    // The listing's lines as the tool printed them (shown in Memo3), when it printed any.
    std::vector<std::string> lines;
};

// What a row's state word says, in the listing tool's English, German, Spanish and French.
enum class ListedState { Active, Disconnected, Other };

// UTF-8 text of the listing: a UTF-8, UTF-16 LE or UTF-16 BE byte-order mark selects that
// encoding (and is dropped); without one the bytes are UTF-8 when they are valid UTF-8, else
// Latin-1 (every byte one character), so no byte is ever lost or replaced.
std::string DecodeListingText(const std::string& bytes);

// Lines of a text, split at CR LF, LF or CR; a line break at the very end opens no further
// line, so "" and "\n" give no line and one empty line respectively.
std::vector<std::string> SplitListingLines(const std::string& text);

// The four fields of one line.
SessionRow CutSessionRow(const std::string& line);

// Removes the characters with codes 0 to 32 at both ends.
std::string TrimBlanks(const std::string& text);
// Changes the letters A to Z to lower case and nothing else.
std::string LowerAsciiLetters(const std::string& text);

// The state a state word names: trimmed, A to Z lower-cased (and É as é), "active", "aktiv",
// "activo" or "actif" is active; "disc", "getrennt", "desc" or "déco" is disconnected; any other
// word (down, listen, idle, a longer or cut word) is neither.
ListedState StateOfWord(const std::string& word);

// True for a line that reads as the listing's header in one of those languages: a word that
// names the user column (USERNAME, BENUTZERNAME, UTILISATEUR, USUARIO; any letter case) and the
// word ID. A tool that printed anything else did not give a listing.
bool IsListingHeader(const std::string& line);

// The lstUsers entry of a row, or an empty text when the row's state is not counted (active or
// disconnected in any of the listing's languages).
std::string CountedEntry(const SessionRow& row);

// True when the id field, trimmed, is a session number: one or more digits 0-9 and nothing else.
// A blank or garbled id must never reach logoff, which without an id ends the caller's session.
bool IsSessionNumber(const std::string& idField);

// True when the id field holds a whole session number: the field, trimmed, is a session number
// and it neither runs into a name on its left nor on past the field. A listing right-aligns the
// id under "ID", so an id of three or more digits reaches left into the session name's columns
// and the field shows only its last digits ("123" reads "23"): those digits count as part of
// the id only when a blank stands before them; digits glued to a name make the row's id
// uncertain, and such a row is never logged off. After the number comes a blank, the line's
// end, or, when the number fills the field to its last column, the state's first column, which
// must not hold a digit (a longer number would go on there).
bool HoldsWholeSessionId(const SessionRow& row);

// The parameter text of logoff for a row: the digits of a right-aligned id that reach left of
// the id field (none for ids of one or two digits), the id field untrimmed, " /server:", the
// address. REQUIRES: HoldsWholeSessionId(row).
std::string LogoffParameters(const SessionRow& row);

// True for a row that the listing marks (">" in column 1) as the session the listing was made
// from, which is the session this program runs in.
bool IsOwnSession(const SessionRow& row);

// Parses the lines of a listing: the first line is a header and is skipped whatever it holds.
// A row is logged off when the text of its lstUsers entry after the entry's first ";" is a
// disconnected state's word, its id field holds a whole session number, and it is not the
// program's own session (logging that off would end the program itself).
SessionListing ParseSessionListing(const std::vector<std::string>& lines);

// The listing of what the tool printed (its bytes, standard output and standard error as they
// came): parsed when its first line is a header; no session when it says only that nobody is
// logged on ("No User exists for *"); otherwise a listing that failed, its `failure` quoting
// the first line printed.
SessionListing ReadToolListing(const std::string& printed);

}  // namespace ari
