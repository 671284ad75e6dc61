// Our programs in a folder that other users can write, on files that carry a file server's
// attributes, and under a file-size limit: real links, real attributes, real child processes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine/table/DbfFile.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/FileAttributes.h"
#include "tests/support/TestFolders.h"

using namespace ari::test;
using ari::engine::DbfWriter;

namespace {

namespace fs = std::filesystem;

CommandResult Dbtool(const std::string& args) {
    return RunCommand(std::string(ARI_BIN_DIR) + "/dbtool " + args + " 2>&1");
}

// T.DBF (NAME C(10), 200 records, every third deleted) with a production index tag on NAME.
void MakeIndexedTable(const std::string& folder) {
    {
        DbfWriter w(folder + "T.DBF", {{"NAME", 'C', 10, 0, 0}});
        for (int i = 0; i < 200; ++i)
            w.Append({"n" + std::to_string(1000 - i)}, i % 3 == 0);
        w.Finish();
    }
    const auto r = Dbtool("index " + ShellQuote(folder + "T.DBF") + " NAME NAME");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    ASSERT_TRUE(fs::exists(folder + "T.mdx"));
}

std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(folder))
        out.push_back(e.path().lexically_relative(folder).string());
    std::sort(out.begin(), out.end());
    return out;
}

TEST(HostileFolder, PackRefusesALinkedTableOrIndexAndChangesNothing) {
    // Replacing a link by a file would leave two diverging copies under two names; writing
    // through it would change a file elsewhere. The pack refuses and names the link.
    for (const std::string linked : {"T.DBF", "T.mdx"}) {
        SCOPED_TRACE(linked);
        TempFolder dir;
        fs::create_directory(dir / "live");
        fs::create_directory(dir / "elsewhere");
        const std::string live = dir / "live/";
        MakeIndexedTable(live);
        fs::rename(live + linked, dir / "elsewhere" + "/" + linked);
        fs::create_symlink(dir / "elsewhere" + "/" + linked, live + linked);
        const std::string table = ReadFileBytes(live + "T.DBF");
        const std::string index = ReadFileBytes(live + "T.mdx");

        const auto r = Dbtool("pack " + ShellQuote(live + "T.DBF"));
        EXPECT_EQ(r.exitCode, 2) << r.output;
        EXPECT_NE(r.output.find(live + linked + " is a symbolic link"), std::string::npos)
            << r.output;
        EXPECT_TRUE(fs::is_symlink(live + linked));
        EXPECT_EQ(ReadFileBytes(live + "T.DBF"), table);
        EXPECT_EQ(ReadFileBytes(live + "T.mdx"), index);
        EXPECT_EQ(FileNamesIn(live), (std::vector<std::string>{"T.DBF", "T.mdx"}));
        // Reading through the link stays possible.
        EXPECT_EQ(Dbtool("check " + ShellQuote(live + "T.DBF")).exitCode, 0);
    }
}

TEST(HostileFolder, PackedFilesCarryTheAccessListsAndAttributesOfTheOldOnes) {
    // A file server keeps Windows access lists and DOS attributes in extended attributes: a
    // pack that dropped them would lock out the users granted access by them.
    TempFolder dir;
    MakeIndexedTable(dir.Path());
    const auto tableAttributes = PlantServerAttributes(dir / "T.DBF");
    const auto indexAttributes = PlantServerAttributes(dir / "T.mdx");
    struct stat before {};
    stat((dir / "T.DBF").c_str(), &before);

    const auto r = Dbtool("pack " + ShellQuote(dir / "T.DBF"));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("133 records kept"), std::string::npos) << r.output;
    EXPECT_EQ(ReadAttributes(dir / "T.DBF"), tableAttributes);
    EXPECT_EQ(ReadAttributes(dir / "T.mdx"), indexAttributes);
    struct stat after {};
    stat((dir / "T.DBF").c_str(), &after);
    EXPECT_NE(after.st_ino, before.st_ino) << "replaced, not written in place";
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(Dbtool("check " + ShellQuote(dir / "T.DBF")).exitCode, 0);
}

TEST(HostileFolder, APackThatCannotCarryAnAttributeIsRefusedAndChangesNothing) {
    // Run as an ordinary user, the pack can read the file server's security.NTACL but not set
    // it on a new file: dropping it would change who may use the table, so nothing is packed.
    if (geteuid() != 0)
        GTEST_SKIP() << "planting security.NTACL and changing to another user need root";
    TempFolder dir;
    MakeIndexedTable(dir.Path());
    PlantServerAttributes(dir / "T.DBF");
    ASSERT_EQ(ReadAttributes(dir / "T.DBF").count("security.NTACL"), 1u);
    const uid_t nobody = 65534;
    chmod(dir.Path().c_str(), 0777);
    for (const std::string name : {"T.DBF", "T.mdx"})
        ASSERT_EQ(chown((dir / name).c_str(), nobody, nobody), 0);
    const std::string table = ReadFileBytes(dir / "T.DBF");
    const std::string index = ReadFileBytes(dir / "T.mdx");
    const auto attributes = ReadAttributes(dir / "T.DBF");
    const std::string out = dir / "out.txt";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        freopen(out.c_str(), "w", stderr);
        if (setgid(nobody) != 0 || setuid(nobody) != 0)
            _exit(126);
        const std::string dbtool = std::string(ARI_BIN_DIR) + "/dbtool";
        const std::string path = dir / "T.DBF";
        execl(dbtool.c_str(), "dbtool", "pack", path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2) << ReadFileBytes(out);
    EXPECT_NE(ReadFileBytes(out).find("Cannot carry the extended attribute security.NTACL of " +
                                      dir / "T.DBF"),
              std::string::npos)
        << ReadFileBytes(out);
    EXPECT_EQ(ReadFileBytes(dir / "T.DBF"), table);
    EXPECT_EQ(ReadFileBytes(dir / "T.mdx"), index);
    EXPECT_EQ(ReadAttributes(dir / "T.DBF"), attributes);
    EXPECT_EQ(FileNamesIn(dir.Path()), (std::vector<std::string>{"T.DBF", "T.mdx", "out.txt"}));
}

TEST(HostileFolder, AFileSizeLimitFailsThePackWithAnErrorInsteadOfEndingIt) {
    TempFolder dir;
    MakeIndexedTable(dir.Path());
    const std::string table = ReadFileBytes(dir / "T.DBF");
    const std::string index = ReadFileBytes(dir / "T.mdx");
    const std::string out = dir / "out.txt";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // As a shell or a service manager starts it: the default action, which ends the
        // process, and a limit below the size of the packed table.
        signal(SIGXFSZ, SIG_DFL);
        const rlimit limit{1024, 1024};
        setrlimit(RLIMIT_FSIZE, &limit);
        const std::string dbtool = std::string(ARI_BIN_DIR) + "/dbtool";
        const std::string path = dir / "T.DBF";
        freopen(out.c_str(), "w", stderr);
        execl(dbtool.c_str(), "dbtool", "pack", path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 2);
    EXPECT_NE(ReadFileBytes(out).find("Disk full"), std::string::npos) << ReadFileBytes(out);
    EXPECT_EQ(ReadFileBytes(dir / "T.DBF"), table);
    EXPECT_EQ(ReadFileBytes(dir / "T.mdx"), index);
    EXPECT_EQ(FileNamesIn(dir.Path()), (std::vector<std::string>{"T.DBF", "T.mdx", "out.txt"}));
}

TEST(HostileFolder, BenchesRemoveOnlyTheFolderTheyMade) {
    // Pointed at a folder that holds anything else, a bench must leave all of it.
    struct Case {
        const char* bench;
        std::string args;  // DIR stands for the folder
    };
    const Case cases[] = {
        {"index_bench", "--records 3000 --no-floor --folder DIR"},
        {"pack_bench", "DIR 3000"},
        {"run_bench", "--records 3000 --tables 1 --folder DIR"},
        {"window_latency_bench", "--records 3000 --folder DIR"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bench);
        TempFolder dir;
        WriteFileBytes(dir / "BENCH.DBF", "somebody's table");
        WriteFileBytes(dir / "ORIGINAL.DBF", "somebody else's table");
        WriteFileBytes(dir / "WORK.DBF", "a third table");
        fs::create_directory(dir / "sub");
        WriteFileBytes(dir / "sub/notes.txt", "notes");
        const auto before = Names(dir.Path());
        std::string args = c.args;
        args.replace(args.find("DIR"), 3, ShellQuote(dir.Path()));
        const auto r = RunCommand(std::string(ARI_BIN_DIR) + "/" + c.bench + " " + args + " 2>&1");
        EXPECT_EQ(r.exitCode, 0) << r.output;
        if (!fs::is_directory(dir.Path())) {
            ADD_FAILURE() << "the folder it was given is gone";
            continue;
        }
        EXPECT_EQ(Names(dir.Path()), before);
        EXPECT_EQ(ReadFileBytes(dir / "BENCH.DBF"), "somebody's table");
        EXPECT_EQ(ReadFileBytes(dir / "ORIGINAL.DBF"), "somebody else's table");
        EXPECT_EQ(ReadFileBytes(dir / "WORK.DBF"), "a third table");
    }
}

TEST(HostileFolder, TheDemoMakerNeverEmptiesAFolderThroughALink) {
    // A folder that once held a demo, named through a link: it is refused, not emptied.
    TempFolder dir;
    fs::create_directory(dir / "real");
    WriteFileBytes(dir / "real/.demo-live", "marker");
    WriteFileBytes(dir / "real/ORDERS.DBF", "a table put there since");
    fs::create_directory_symlink(dir / "real", dir / "link");
    for (const std::string& target : {dir / "link", dir / "link/"}) {
        SCOPED_TRACE(target);
        const auto r = RunCommand(std::string(ARI_BIN_DIR) + "/maketemplates --demo " +
                                  ShellQuote(target) + " 2>&1");
        EXPECT_EQ(r.exitCode, 1) << r.output;
        EXPECT_NE(r.output.find("is a symbolic link"), std::string::npos) << r.output;
        EXPECT_EQ(Names(dir / "real"), (std::vector<std::string>{".demo-live", "ORDERS.DBF"}));
    }
}

}  // namespace
