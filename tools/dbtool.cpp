// dbtool: inspects, checks and packs tables from the command line with the program's own
// engine. One entry per command in kCommands; each command takes the remaining arguments and
// returns the process exit code (0 success / sound, 1 a fault found, 2 usage or engine error).
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "engine/Cursor.h"
#include "engine/DbfFile.h"
#include "engine/EngineErrors.h"
#include "engine/EngineStatus.h"
#include "engine/ParadoxPack.h"
#include "engine/TTable.h"
#include "platform/FileAccess.h"
#include "platform/Files.h"
#include "tools/IndexCommands.h"

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

std::string Hex2(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", v & 0xFFu);
    return buf;
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
        hDBIDb db = nullptr;
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

// ---- check: one step per aspect; a step returns the first fault found ("" when sound).
using CheckStep = std::function<std::string(const DbfFile&)>;

std::string CheckRecords(const DbfFile& f) {
    const DbfHeader& h = f.Header();
    const uint32_t physical = PhysicalRecordCount(h, f.FileSize());
    if (h.recordCount > physical)
        return "The header counts " + std::to_string(h.recordCount) +
               " records but the file holds " + std::to_string(physical) + ".";
    if (f.RecordCount() != h.recordCount)
        return "The file holds " + std::to_string(f.RecordCount()) +
               " records but the header counts " + std::to_string(h.recordCount) + ".";
    DbfFile::Scanner scan(f);
    while (const uint8_t* r = scan.Next())
        if (r[0] != dbf::kLiveFlag && r[0] != dbf::kDeletedFlag)
            return "Record " + std::to_string(scan.RecNo()) + " has the invalid deletion flag " +
                   Hex2(r[0]) + ".";
    return {};
}

std::string CheckMemos(const DbfFile& f) {
    const DbfHeader& h = f.Header();
    if (h.family != DbfFamily::DBase || !h.HasMemoFields())
        return {};
    const MemoFile* memo = f.Memo();  // throws when missing
    DbfFile::Scanner scan(f);
    while (const uint8_t* r = scan.Next()) {
        for (const auto& fd : f.Fields()) {
            if (fd.type != 'M' && fd.type != 'B' && fd.type != 'G')
                continue;
            try {
                f.ReadMemoField(r, fd);
            } catch (const EDBEngineError& e) {
                return "Record " + std::to_string(scan.RecNo()) + ", field " + fd.name + ": " +
                       e.Message();
            }
        }
    }
    (void)memo;
    return {};
}

std::vector<std::pair<std::string, CheckStep>>& CheckSteps() {
    static std::vector<std::pair<std::string, CheckStep>> steps{
        {"records", CheckRecords},
        {"memos", CheckMemos},
        {"index", ari::tools::CheckProductionIndexStep},
    };
    return steps;
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
        for (const auto& [name, step] : CheckSteps()) {
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

struct Command {
    const char* name;
    size_t minArgs;
    const char* usage;
    int (*run)(const Args&);
};

const Command kCommands[] = {
    {"info", 1, "info TABLE            header, fields, record counts, memo file", Info},
    {"dump", 1, "dump TABLE            every record as hex field values (memos resolved)", Dump},
    {"check", 1, "check TABLE           structure and memo checks; exit 0 only when sound",
     CheckCommand},
    {"pack", 1, "pack TABLE            drop deleted records, rebuild the production index", Pack},
    {"tags", 1, "tags TABLE            the tags of the production index", ari::tools::TagsCommand},
    {"keys", 2, "keys TABLE TAG        record numbers and keys of a tag in index order",
     ari::tools::KeysCommand},
    {"index", 3, "index TABLE NAME EXPR add a tag keyed by EXPR to the production index",
     ari::tools::IndexCommand},
};

int Usage() {
    std::cerr << "usage: dbtool COMMAND ARGS...\n";
    for (const auto& c : kCommands)
        std::cerr << "  dbtool " << c.usage << "\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    ari::IgnoreFileSizeSignal();  // a write past the size limit fails, and is reported
    if (argc < 2)
        return Usage();
    const std::string name = argv[1];
    for (const auto& c : kCommands) {
        if (name != c.name)
            continue;
        Args args(argv + 2, argv + argc);
        if (args.size() < c.minArgs)
            return Usage();
        try {
            return c.run(args);
        } catch (const Exception& e) {
            std::cerr << "dbtool " << name << ": " << e.Message() << "\n";
            return 2;
        }
    }
    return Usage();
}
