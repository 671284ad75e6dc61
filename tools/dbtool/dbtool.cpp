// dbtool: inspects, checks and packs tables from the command line with the program's own
// engine. One entry per command in Commands(): its arguments (each required), its options and
// what it does; a command line with an unknown option, a missing or a surplus argument is
// refused with the command's usage line. Each command returns the process exit code (0 success
// / sound, 1 a fault found, 2 usage or engine error); "dbtool help" and "dbtool COMMAND --help"
// print the usage and exit 0, "dbtool --version" the program's version.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "engine/EngineErrors.h"
#include "engine/EngineStatus.h"
#include "engine/TTable.h"
#include "engine/check/TableCheck.h"
#include "engine/format/ParadoxFormat.h"
#include "engine/table/Cursor.h"
#include "engine/table/DbfFile.h"
#include "engine/table/ParadoxFile.h"
#include "engine/table/TableDamage.h"
#include "platform/FileAccess.h"
#include "platform/Files.h"
#include "platform/Version.h"
#include "tools/dbtool/IndexCommands.h"

using namespace ari::engine;

namespace {

using Args = std::vector<std::string>;

std::string Hex(const uint8_t* p, size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    s.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

const char* MemoLayoutName(MemoLayout l) {
    switch (l) {
        case MemoLayout::DBase3:
            return "dBASE III";
        case MemoLayout::DBase4:
            return "dBASE IV";
        case MemoLayout::FoxPro:
            return "FoxPro";
        case MemoLayout::None:
            break;
    }
    return "none";
}

// Opens a table through TTable (as the program does) and returns its type text.
std::string TypeText(const std::string& path) {
    TTable t("dbtool");
    t.SetDatabaseName(ari::ExtractFilePath(path).empty() ? "./" : ari::ExtractFilePath(path));
    t.SetTableName(ari::ExtractFileName(path));
    t.Open();
    uint8_t info[kCursorInfoSize];
    Check(EngineCursorInfo(t.Handle(), info));
    const char* type = reinterpret_cast<const char*>(info + kCursorInfoTypeOffset);
    return std::string(type, strnlen(type, kCursorInfoTypeLength));
}

int ParadoxInfo(const std::string& path) {
    const std::string bytes = [&] {
        std::ifstream in(path, std::ios::binary);
        std::string b(0x800, '\0');
        in.read(b.data(), static_cast<std::streamsize>(b.size()));
        b.resize(static_cast<size_t>(in.gcount()));
        return b;
    }();
    const ParadoxHeader h = ParseParadoxHeader(bytes, std::filesystem::file_size(path), path);
    std::cout << "Version: " << Hex2(h.version) << "\n"
              << "Keyed: " << (h.fileType == px::kFileTypeKeyed ? "yes" : "no") << "\n"
              << "Records: " << h.recordCount << "\n"
              << "Record size: " << h.recordSize << "\n"
              << "Fields: " << h.fieldCount << " (key fields " << h.keyFieldCount << ")\n"
              << "Block size: " << h.blockSize << "\n"
              << "Blocks in use: " << h.blocksInUse << "\n"
              << "Blocks in file: " << h.blocksInFile << "\n";
    return 0;
}

int Info(const Args& a) {
    const std::string& path = a.at(0);
    const std::string type = TypeText(path);
    std::cout << "Table: " << path << "\nType: " << type << "\n";
    if (type == "PARADOX")
        return ParadoxInfo(path);
    const auto f = DbfFile::Open(path, ShareMode::Shared);
    const DbfHeader& h = f->Header();
    uint32_t live = 0, deleted = 0;
    DbfFile::Scanner scan(*f);
    while (const uint8_t* r = scan.Next())
        (r[0] == dbf::kDeletedFlag ? deleted : live)++;
    char date[16];
    std::snprintf(date, sizeof date, "%04d-%02d-%02d", 1900 + h.updateYear, h.updateMonth,
                  h.updateDay);
    std::cout << "Version: " << Hex2(h.version) << "\n"
              << "Language driver: " << Hex2(h.languageDriver) << "\n"
              << "Production index flag: " << Hex2(h.productionIndexFlag) << "\n"
              << "Last update: " << date << "\n"
              << "Header length: " << h.headerLength << "\n"
              << "Record length: " << h.recordLength << "\n"
              << "Records in header: " << h.recordCount << "\n"
              << "Records: " << f->RecordCount() << "\n"
              << "Live records: " << live << "\n"
              << "Deleted records: " << deleted << "\n";
    const std::string memo = f->MemoPath();
    std::cout << "Memo file: " << (memo.empty() ? "none" : memo);
    if (!memo.empty())
        std::cout << " (" << MemoLayoutName(h.memoLayout) << ")";
    std::cout << "\nFields: " << h.fields.size() << "\n";
    for (const auto& fd : h.fields)
        std::cout << "  " << fd.name << " " << fd.type << " " << fd.length << " "
                  << static_cast<int>(fd.decimals) << " @" << fd.offset << "\n";
    return 0;
}

// Every record, deleted ones too: "<recno> <L|D|?> NAME=hex ..."; memo fields as
// "NAME=memo:hex" of the memo text (dBASE tables with a memo file).
int Dump(const Args& a) {
    const auto f = DbfFile::Open(a.at(0), ShareMode::Shared);
    const bool memos = f->Header().family == DbfFamily::DBase && f->Memo() != nullptr;
    DbfFile::Scanner scan(*f);
    while (const uint8_t* r = scan.Next()) {
        std::cout << scan.RecNo() << ' '
                  << (r[0] == dbf::kLiveFlag      ? 'L'
                      : r[0] == dbf::kDeletedFlag ? 'D'
                                                  : '?');
        for (const auto& fd : f->Fields()) {
            std::cout << ' ' << fd.name << '=';
            const bool isMemo = fd.type == 'M' || fd.type == 'B' || fd.type == 'G';
            if (isMemo && memos) {
                const std::string m = f->ReadMemoField(r, fd);
                std::cout << "memo:" << Hex(reinterpret_cast<const uint8_t*>(m.data()), m.size());
            } else {
                std::cout << Hex(r + fd.offset, fd.length);
            }
        }
        std::cout << '\n';
    }
    return 0;
}

int Pack(const Args& a) {
    TTable t("dbtool");
    const std::string& path = a.at(0);
    t.SetDatabaseName(ari::ExtractFilePath(path).empty() ? "./" : ari::ExtractFilePath(path));
    t.SetTableName(ari::ExtractFileName(path));
    t.SetExclusive(true);
    t.Open();
    uint8_t info[kCursorInfoSize];
    Check(EngineCursorInfo(t.Handle(), info));
    const std::string type(reinterpret_cast<const char*>(info + kCursorInfoTypeOffset));
    if (type == "PARADOX") {
        std::vector<uint8_t> desc(kTableDescriptorSize, 0);
        const std::string name = t.TablePath().substr(ari::ExtractFilePath(t.TablePath()).size());
        std::memcpy(desc.data(), name.data(), std::min<size_t>(name.size(), 260));
        std::memcpy(desc.data() + 261, "PARADOX", 7);
        desc[620] = desc[621] = 0xFF;
        DatabaseHandle db = nullptr;
        Check(EngineDatabaseOf(t.Handle(), kObjectKindDatabase, &db));
        t.Close();
        Check(EngineRestructure(db, 1, desc.data(), nullptr, nullptr, nullptr, 0));
        std::cout << "Packed " << path << "\n";
        return 0;
    }
    if (type != "DBASE") {
        std::cerr << "Table " << path << " is of type " << type
                  << "; only dBASE and Paradox tables are packed.\n";
        return 2;
    }
    uint32_t before = 0;
    if (t.Handle()->Table())
        before = t.Handle()->Table()->RecordCount();
    Check(EnginePack(t.DBHandle(), t.Handle(), nullptr, "DBASE", -1));
    const uint32_t after = t.Handle()->Table()->RecordCount();
    std::cout << "Packed " << path << ": " << after << " records kept, " << (before - after)
              << " deleted records dropped\n";
    return 0;
}

int CheckCommand(const Args& a) {
    const std::string& path = a.at(0);
    try {
        const std::string type = TypeText(path);
        if (type == "PARADOX") {
            const std::string fault = CheckParadoxTable(path);
            if (!fault.empty()) {
                std::cout << "FAULT (blocks): " << path << ": " << fault << "\n";
                return 1;
            }
            std::cout << "OK: " << path << "\n";
            return 0;
        }
        const auto f = DbfFile::Open(path, ShareMode::Shared);
        for (const auto& [name, step] : ari::engine::CheckSteps()) {
            const std::string fault = step(*f);
            if (!fault.empty()) {
                std::cout << "FAULT (" << name << "): " << path << ": " << fault << "\n";
                return 1;
            }
        }
    } catch (const EDBEngineError& e) {
        std::cout << "FAULT: " << e.Message() << "\n";
        return 1;
    }
    std::cout << "OK: " << path << "\n";
    return 0;
}

// A command's options: "--unique" (a flag) or "--for COND" / "--for=COND" (with a value).
struct Option {
    const char* name;
    const char* value;  // the value's placeholder in the usage line; nullptr for a flag
};

struct Command {
    const char* name;
    std::vector<const char*> arguments;  // placeholders of the arguments; each one is required
    std::vector<Option> options;
    const char* what;
    std::function<int(const Args&, const ari::tools::CommandOptions&)> run;
};

// Adapts a command that takes no options.
std::function<int(const Args&, const ari::tools::CommandOptions&)> NoOptions(
    int (*run)(const Args&)) {
    return [run](const Args& a, const ari::tools::CommandOptions&) { return run(a); };
}

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        {"info", {"TABLE"}, {}, "header, fields, record counts, memo file", NoOptions(Info)},
        {"dump",
         {"TABLE"},
         {},
         "every record as hex field values (memos resolved)",
         NoOptions(Dump)},
        {"check",
         {"TABLE"},
         {},
         "structure and memo checks; exit 0 only when sound",
         NoOptions(CheckCommand)},
        {"pack",
         {"TABLE"},
         {},
         "drop deleted records, rebuild the production index",
         NoOptions(Pack)},
        {"tags",
         {"TABLE"},
         {},
         "the tags of the production index",
         NoOptions(ari::tools::TagsCommand)},
        {"keys",
         {"TABLE", "TAG"},
         {},
         "record numbers and keys of a tag in index order",
         NoOptions(ari::tools::KeysCommand)},
        {"index",
         {"TABLE", "NAME", "EXPR"},
         {{"--for", "COND"}, {"--unique", nullptr}, {"--descending", nullptr}},
         "add a tag keyed by EXPR to the production index; --for: only the records COND\n"
         "admits, --unique: one record per key value, --descending: keys in descending order",
         ari::tools::IndexCommand},
    };
    return commands;
}

// "index TABLE NAME EXPR [--for COND] [--unique] [--descending]"
std::string Synopsis(const Command& c) {
    std::string s = c.name;
    for (const char* a : c.arguments)
        s += std::string(" ") + a;
    for (const Option& o : c.options)
        s += std::string(" [") + o.name + (o.value ? std::string(" ") + o.value : "") + "]";
    return s;
}

// What a command does, each line of it indented.
void PrintWhat(std::ostream& out, const Command& c, const std::string& indent) {
    std::string what = c.what;
    for (size_t nl = what.find('\n'); nl != std::string::npos; nl = what.find('\n', nl + 1))
        what.insert(nl + 1, indent);
    out << indent << what << "\n";
}

void PrintCommandUsage(std::ostream& out, const Command& c) {
    out << "usage: dbtool " << Synopsis(c) << "\n";
    PrintWhat(out, c, "  ");
}

void PrintUsage(std::ostream& out) {
    out << "usage: dbtool COMMAND ARGUMENTS... [OPTIONS]\n"
           "       dbtool help | dbtool COMMAND --help | dbtool --version\n";
    for (const auto& c : Commands()) {
        out << "  dbtool " << Synopsis(c) << "\n";
        PrintWhat(out, c, "      ");
    }
}

// A command line that does not fit the command: what is wrong, then the command's usage.
int Refuse(const Command& c, const std::string& fault) {
    std::cerr << "dbtool " << c.name << ": " << fault << "\n";
    PrintCommandUsage(std::cerr, c);
    return 2;
}

int RunCommand(const Command& c, const Args& words) {
    Args args;
    ari::tools::CommandOptions options;
    bool optionsEnd = false;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (optionsEnd || w.size() < 2 || w.compare(0, 2, "--") != 0) {
            args.push_back(w);
            continue;
        }
        if (w == "--") {
            optionsEnd = true;
            continue;
        }
        if (w == "--help") {
            PrintCommandUsage(std::cout, c);
            return 0;
        }
        const auto eq = w.find('=');
        const std::string name = w.substr(0, eq);
        const auto o = std::find_if(c.options.begin(), c.options.end(),
                                    [&](const Option& x) { return name == x.name; });
        if (o == c.options.end())
            return Refuse(c, "unknown option " + name);
        if (options.count(name))
            return Refuse(c, "option " + name + " given twice");
        if (!o->value) {
            if (eq != std::string::npos)
                return Refuse(c, "option " + name + " takes no value");
            options[name] = std::string();
        } else if (eq != std::string::npos) {
            options[name] = w.substr(eq + 1);
        } else if (i + 1 < words.size()) {
            options[name] = words[++i];
        } else {
            return Refuse(c, "option " + name + " needs " + o->value);
        }
    }
    if (args.size() < c.arguments.size())
        return Refuse(c, std::string("missing ") + c.arguments[args.size()]);
    if (args.size() > c.arguments.size())
        return Refuse(c, "unexpected argument " + args[c.arguments.size()]);
    try {
        return c.run(args, options);
    } catch (const Exception& e) {
        std::cerr << "dbtool " << c.name << ": " << e.Message() << "\n";
        return 2;
    }
}

}  // namespace

int main(int argc, char** argv) {
    ari::IgnoreFileSizeSignal();  // a write past the size limit fails, and is reported
    const Args words(argv + 1, argv + argc);
    if (words.empty()) {
        PrintUsage(std::cerr);
        return 2;
    }
    const std::string& name = words[0];
    if (name == "--version" && words.size() == 1) {
        std::cout << "dbtool " << ari::ProjectVersion() << "\n";
        return 0;
    }
    if (name == "help" || name == "--help") {
        if (words.size() == 1) {
            PrintUsage(std::cout);
            return 0;
        }
        // "dbtool help COMMAND"
        for (const auto& c : Commands()) {
            if (words.size() == 2 && words[1] == c.name) {
                PrintCommandUsage(std::cout, c);
                return 0;
            }
        }
        PrintUsage(std::cerr);
        return 2;
    }
    for (const auto& c : Commands()) {
        if (name == c.name)
            return RunCommand(c, Args(words.begin() + 1, words.end()));
    }
    std::cerr << "dbtool: unknown command " << name << "\n";
    PrintUsage(std::cerr);
    return 2;
}
