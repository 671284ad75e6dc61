// autoreindex-run --dry-run as a real process: what it says a pass would do is what the real pass
// then does (the bytes of every table, index and memo file, the deleted records removed), and it
// writes nothing whatever state the tables are in: held open or locked by another process,
// damaged, without their index, with a stale one. The folders are compared, names, sizes,
// modification times, modes and bytes, before and after.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "engine/table/TableLock.h"
#include "platform/Files.h"
#include "platform/RunMarker.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/ChildHolder.h"
#include "tests/support/TestFolders.h"

namespace {

namespace fs = std::filesystem;
using ari::test::ChildHolder;
using ari::test::CommandResult;
using ari::test::ReadFileBytes;
using ari::test::RunCommand;
using ari::test::ShellQuote;
using ari::test::TempFolder;
using ari::test::WriteFileBytes;

const std::string kBin = ARI_BIN_DIR;

// The program's folder (a copy of autoreindex-run and its settings), the template folder and the
// demo live folder of maketemplates (stale, current and missing indexes; deleted records).
struct Folders {
    TempFolder dir;
    std::string app = dir / "app/";
    std::string tmpl = dir / "mdx/";
    std::string live = dir / "live/";

    explicit Folders(const std::string& operations, bool templates = true) {
        fs::create_directory(app);
        fs::copy_file(kBin + "/autoreindex-run", app + "autoreindex-run");
        Settings(operations, templates ? tmpl : "");
        EXPECT_EQ(RunCommand(kBin + "/maketemplates --archive " + ShellQuote(dir / "t.zip") +
                             " --keep " + ShellQuote(tmpl) + " >/dev/null 2>&1")
                      .exitCode,
                  0);
        EXPECT_EQ(
            RunCommand(kBin + "/maketemplates --demo " + ShellQuote(live) + " >/dev/null 2>&1")
                .exitCode,
            0);
    }
    void Settings(const std::string& operations, const std::string& source) const {
        WriteFileBytes(app + "Setting_VorelIndex.ini", "[Setting]\nSource=" + source +
                                                           "\nDest=" + live + "\n" + operations +
                                                           "Begin=00:00:00\nEnd=23:59:59\n");
    }
    CommandResult Run(const std::string& arguments, const std::string& environment = "") const {
        return RunCommand("cd / && " + environment + " " + ShellQuote(app + "autoreindex-run") +
                          " " + arguments + " 2>&1");
    }
    std::string Path(const std::string& liveFile) const {
        const std::string name = ari::FindFileNoCase(live, liveFile);
        return live + (name.empty() ? liveFile : name);
    }
};

// Every entry below `root`: its kind, size, modification time, mode and, for a file, its bytes.
std::map<std::string, std::string> Snapshot(const std::string& root) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        struct stat st {};
        ::lstat(e.path().c_str(), &st);
        std::ostringstream s;
        s << st.st_mode << ' ' << st.st_size << ' ' << st.st_mtim.tv_sec << '.'
          << st.st_mtim.tv_nsec;
        if (S_ISREG(st.st_mode))
            s << ' ' << ReadFileBytes(e.path().string());
        out[fs::relative(e.path(), root).string()] = s.str();
    }
    return out;
}

// The table rows of the report, by table name: the cells split at blanks.
std::map<std::string, std::vector<std::string>> Rows(const std::string& output) {
    std::map<std::string, std::vector<std::string>> rows;
    bool inTable = false;
    for (const std::string& l : ari::test::SplitLines(output)) {
        if (l.rfind("table ", 0) == 0) {
            inTable = true;
            continue;
        }
        if (l.rfind("total: ", 0) == 0)
            break;
        if (!inTable)
            continue;
        std::istringstream in(l);
        std::vector<std::string> cells;
        for (std::string c; in >> c;)
            cells.push_back(c);
        rows[cells.at(0)] = cells;
    }
    return rows;
}
enum Column { kDoes = 1, kIndex, kInUse, kRecords, kDeleted, kTableFreed, kIndexFreed, kMemoFreed };

std::map<std::string, uint64_t> Sizes(const std::string& folder) {
    std::map<std::string, uint64_t> out;
    for (const auto& e : fs::directory_iterator(folder)) {
        std::string name = e.path().filename().string();
        for (char& c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        out[name] = fs::file_size(e.path());
    }
    return out;
}

// "deleted records removed N" of the table's line in the pass summary of the journal.
std::string RemovedInJournal(const std::string& journal, const std::string& table) {
    const size_t at = journal.find("table " + table + ": operations ");
    if (at == std::string::npos)
        return "?";
    const std::string key = "deleted records removed ";
    const size_t k = journal.find(key, at);
    return journal.substr(k + key.size(), journal.find(';', k) - k - key.size());
}

TEST(DryRun, SaysWhatThePassThenDoesForEachChoiceOfOperations) {
    const char* const choices[] = {
        "Transfer=0\nReindex=-1\nPack=-1\n",  "Transfer=-1\nReindex=0\nPack=-1\n",
        "Transfer=-1\nReindex=-1\nPack=-1\n", "Transfer=0\nReindex=0\nPack=-1\n",
        "Transfer=0\nReindex=-1\nPack=0\n",
    };
    for (const char* operations : choices) {
        SCOPED_TRACE(operations);
        Folders f(operations);
        const auto before = Snapshot(f.dir.Path());
        const CommandResult dry = f.Run("--dry-run --journal " + ShellQuote(f.dir / "log"));
        ASSERT_EQ(dry.exitCode, 0) << dry.output;
        EXPECT_EQ(Snapshot(f.dir.Path()), before) << dry.output;
        EXPECT_NE(dry.output.find("a pass now would go through"), std::string::npos);
        const auto rows = Rows(dry.output);
        ASSERT_EQ(rows.size(), 64u) << dry.output;

        const auto sizesBefore = Sizes(f.live);
        const CommandResult now = f.Run("--now --ignore-sessions");
        ASSERT_EQ(now.exitCode, 0) << now.output;
        const auto sizesAfter = Sizes(f.live);
        const std::string journal = ReadFileBytes(f.app + "autoreindex.log");
        const bool packs = std::string(operations).find("Pack=-1") != std::string::npos;
        for (const auto& [table, cells] : rows) {
            SCOPED_TRACE(table);
            std::string base = table.substr(0, table.size() - 4);
            for (char& c : base)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            const std::pair<Column, const char*> files[] = {
                {kTableFreed, ".dbf"}, {kIndexFreed, ".mdx"}, {kMemoFreed, ".dbt"}};
            for (const auto& [column, ext] : files) {
                const auto size = [&](const std::map<std::string, uint64_t>& sizes) {
                    const auto it = sizes.find(base + ext);
                    return static_cast<int64_t>(it == sizes.end() ? 0 : it->second);
                };
                EXPECT_EQ(cells.at(column), std::to_string(size(sizesBefore) - size(sizesAfter)))
                    << ext;
            }
            if (packs) {
                EXPECT_EQ(cells.at(kDeleted), RemovedInJournal(journal, table));
            }
        }
    }
}

// Another process opens a table and keeps it: with a record lock, or with no lock at all.
bool HoldWithRecordLock(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(ari::engine::kDbaseLockBase - 3);
    fl.l_len = 1;
    return fd >= 0 && ::fcntl(fd, F_OFD_SETLK, &fl) == 0;
}
bool HoldOpen(const std::string& path) {
    return ::open(path.c_str(), O_RDONLY | O_CLOEXEC) >= 0;
}

TEST(DryRun, WritesNothingWhateverStateTheTablesAreIn) {
    Folders f("Transfer=0\nReindex=-1\nPack=-1\n");
    // CUSTOMER: its index file gone; INVOICE: cut inside its last record; ORDERS: a record
    // locked by another program; STOCK: open in another program without any lock. The demo
    // has stale indexes of its own (ACCOUNT).
    fs::remove(f.Path("CUSTOMER.mdx"));
    const std::string invoice = f.Path("INVOICE.DBF");
    const std::string sound = ReadFileBytes(invoice);
    fs::resize_file(invoice, fs::file_size(invoice) - 7);
    // BARCODE: its index's block size zero (the pack refuses it).
    const std::string barcodeIndex = f.Path("BARCODE.mdx");
    const std::string soundIndex = ReadFileBytes(barcodeIndex);
    std::string damagedIndex = soundIndex;
    damagedIndex[20] = damagedIndex[21] = 0;
    WriteFileBytes(barcodeIndex, damagedIndex);
    ChildHolder locked([&] { return HoldWithRecordLock(f.Path("ORDERS.DBF")); });
    ChildHolder open([&] { return HoldOpen(f.Path("STOCK.DBF")); });

    const auto before = Snapshot(f.dir.Path());
    for (const char* proof : {"", "ARI_SOLE_USE_PROOF=scan"}) {
        SCOPED_TRACE(proof);
        const CommandResult r = f.Run("--dry-run", proof);
        EXPECT_EQ(r.exitCode, 9) << r.output;  // a damaged table
        EXPECT_EQ(Snapshot(f.dir.Path()), before) << r.output;
        const auto rows = Rows(r.output);
        ASSERT_EQ(rows.size(), 64u) << r.output;
        EXPECT_EQ(rows.at("CUSTOMER.DBF").at(kIndex), "missing");
        EXPECT_EQ(rows.at("ACCOUNT.DBF").at(kIndex), "stale");
        EXPECT_EQ(rows.at("ATTEND.DBF").at(kIndex), "current");
        EXPECT_EQ(rows.at("INVOICE.DBF").back(), "FAULT");
        EXPECT_EQ(rows.at("BARCODE.DBF").at(kIndex), "damaged");
        EXPECT_EQ(rows.at("BARCODE.DBF").back(), "FAULT");
        EXPECT_EQ(rows.at("INVOICE.DBF").at(kTableFreed), "-");
        EXPECT_EQ(rows.at("ORDERS.DBF").at(kInUse), "yes");
        EXPECT_EQ(rows.at("STOCK.DBF").at(kInUse), "yes");
        EXPECT_EQ(rows.at("ATTEND.DBF").at(kInUse), "no");
        // An open-file-description lock names no process.
        EXPECT_NE(r.output.find("ORDERS.DBF: in use: Another program has locked record 3."),
                  std::string::npos)
            << r.output;
        EXPECT_NE(r.output.find("STOCK.DBF: in use: Another program (process " +
                                std::to_string(open.Pid())),
                  std::string::npos);
        // The pass, in its order, stops first at the damaged table's rebuild.
        EXPECT_NE(r.output.find("a pass now would stop at INVOICE.DBF: "), std::string::npos)
            << r.output;
    }
    // The holders kept what they held all along.
    {
        const int fd = ::open(f.Path("ORDERS.DBF").c_str(), O_RDWR | O_CLOEXEC);
        EXPECT_FALSE(ari::engine::TryLockWholeFile(fd, true));
        ::close(fd);
    }

    // The damaged table mended: tables in use. Released: nothing stands in the way, the
    // missing index included (the rebuild makes it).
    WriteFileBytes(invoice, sound);
    WriteFileBytes(barcodeIndex, soundIndex);
    EXPECT_EQ(f.Run("--dry-run").exitCode, 8);
    open.Release();  // the later child first: it holds a copy of the earlier one's pipe
    locked.Release();
    const CommandResult r = f.Run("--dry-run");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("0 in use now; 0 failing their check; a pass now would go through"),
              std::string::npos)
        << r.output;
}

// The templates beside the program are not unpacked by a dry run: the pass would, first.
TEST(DryRun, LeavesTheProgramsTemplatesPacked) {
    Folders f("Transfer=0\nReindex=-1\nPack=-1\n", false);
    const auto before = Snapshot(f.dir.Path());
    const CommandResult r = f.Run("--dry-run");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(Snapshot(f.dir.Path()), before);
    EXPECT_FALSE(fs::exists(f.app + "mdx"));
    EXPECT_NE(r.output.find("the pass would unpack the program's template tables there first"),
              std::string::npos)
        << r.output;
}

// The key sort's folder in the system's temporary folder is the run's own and goes with it; a file
// planted at a fixed name there is never used. A temporary folder that cannot be written is a
// clear error before any table is looked at.
TEST(DryRun, SortsInAFolderOfItsOwnInTheTemporaryFolder) {
    Folders f("Transfer=0\nReindex=-1\nPack=-1\n", true);
    const std::string temp = f.dir / "tmp";
    fs::create_directories(temp);
    WriteFileBytes(temp + "/autoreindex-dry-run.dbf", "planted");
    const CommandResult r = f.Run("--dry-run", "TMPDIR=" + ShellQuote(temp));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(temp))
        left.push_back(e.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"autoreindex-dry-run.dbf"});
    EXPECT_EQ(ReadFileBytes(temp + "/autoreindex-dry-run.dbf"), "planted");

    const CommandResult missing = f.Run("--dry-run", "TMPDIR=" + ShellQuote(temp + "/none"));
    EXPECT_EQ(missing.exitCode, 1) << missing.output;
    EXPECT_NE(missing.output.find("cannot make a folder for the dry run's key sort in"),
              std::string::npos)
        << missing.output;
}

TEST(DryRun, RefusesAPassOptionAndLooksAtNothingBesideAnotherPass) {
    Folders f("Transfer=0\nReindex=0\nPack=-1\n");
    const char* const refused[] = {"--dry-run --now", "--schedule --dry-run",
                                   "--dry-run --history 3", "--history --dry-run"};
    for (const char* arguments : refused) {
        SCOPED_TRACE(arguments);
        const CommandResult r = f.Run(arguments);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_NE(r.output.find("--dry-run shows what a pass would do and runs none"),
                  std::string::npos)
            << r.output;
    }
    EXPECT_EQ(f.Run("--dry-run --settings " + ShellQuote(f.dir / "none.ini")).exitCode, 2);

    ChildHolder pass([&] {
        static ari::RunMarker marker;  // the child's, for as long as it lives
        marker.Create(f.app + "reindexing");
        return true;
    });
    const auto before = Snapshot(f.dir.Path());
    const CommandResult r = f.Run("--dry-run");
    EXPECT_EQ(r.exitCode, 4) << r.output;
    EXPECT_NE(r.output.find("Another pass is running: no table was looked at."), std::string::npos);
    EXPECT_TRUE(Rows(r.output).empty());
    EXPECT_EQ(Snapshot(f.dir.Path()), before);
}

}  // namespace
