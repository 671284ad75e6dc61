// Helpers of the engine and tool tests: running programs, independent table writers and
// readers (python3-dbf, Perl XBase, python3-dbfread), folder listings that include hidden files.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace ari {
class Env;
}

namespace ari::test {

struct CommandResult {
    int exitCode = -1;
    std::string output;  // standard output (standard error goes to the test's log)
};
// Runs a shell command line.
CommandResult RunCommand(const std::string& commandLine);
std::string ShellQuote(const std::string& text);

// True when /usr/bin/python3 can import `module`.
bool PythonModuleAvailable(const std::string& module);
bool PerlXBaseAvailable();

// The table as the independent reader sees it (tests/engine/dbfread_records.py): lines
// "L ..." then "D ...".
std::vector<std::string> DbfreadRecords(const std::string& tablePath);
std::vector<std::string> DbfreadInfo(const std::string& tablePath);

// Makes a dBASE III table with memos (python3-dbf): `records` records NAME C(20), AMOUNT N(10,2),
// BORN D, OK L, NOTES M; record i (0-based) is deleted when i % deleteEvery == 0.
void MakeDbase3MemoTable(const std::string& path, int records, int deleteEvery);
// Makes a dBASE IV memo table (Perl XBase; version byte set to 0x8B): NAME C(20),
// AMOUNT N(10,2), NOTES M; record i deleted when i % deleteEvery == 0.
void MakeDbase4MemoTable(const std::string& path, int records, int deleteEvery);

std::vector<std::string> SplitLines(const std::string& text);

// Runs `pack` in a child process with `ops` installed as the engine's file operations; `ops`
// ends the process with exit code 9 part way, as a crash would. Fails the current test unless
// the child ended that way.
void PackInADyingProcess(ari::Env& env, const std::function<void()>& pack);

}  // namespace ari::test
