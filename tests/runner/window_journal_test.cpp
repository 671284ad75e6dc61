// The window's lines and its pass's summary go into the run journal beside its executable,
// where the next tick's clearing of the panel does not reach them.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "app/uMain.h"
#include "platform/Dialogs.h"
#include "platform/Exception.h"
#include "platform/RunMarker.h"
#include "tests/maintenance/run_fixtures.h"
#include "tests/support/TestFolders.h"

namespace {

namespace fs = std::filesystem;

// Points the window at `dir`'s mdx and live folders with only the pack chosen.
void ChoosePackOnly(TfMain& window, const std::string& dir) {
    window.LESource->setText(QString::fromStdString(dir + "mdx"));
    window.LEMaghsad->setText(QString::fromStdString(dir + "live"));
    window.CBCopyRe->setChecked(false);
    window.CBReIndex->setChecked(false);
    window.CBPack->setChecked(true);
}

TEST(WindowJournal, TheWindowsPassIsKeptWithItsSummary) {
    ari::test::TempFolder dir;
    fs::create_directory(dir / "bin");
    fs::create_directory(dir / "mdx");
    fs::create_directory(dir / "live");
    ari::test::MakeTable(dir / "live/items.dbf", ari::test::StandardRows());
    ari::Environment env = ari::DefaultEnvironment();
    env.executablePath = dir / "bin/autoreindex";
    {
        TfMain window(env);
        ChoosePackOnly(window, dir.Path());
        EXPECT_TRUE(window.ReindexProccess());
        AddLog(QStringLiteral("---Checking... Time: \"01:02:03\""),
               true);  // a tick clears the panel
    }
    const std::string journal = ari::test::ReadFileBytes(dir / "bin/autoreindex.log");
    EXPECT_TRUE(std::regex_search(
        journal,
        std::regex(R"(\n?\d\d/\d\d/\d{4} \d\d:\d\d:\d\d ---Packing items\.dbf \.\.\. \n)")))
        << journal;
    EXPECT_NE(journal.find("table items.dbf: operations pack; records 5 -> 3; deleted records "
                           "removed 2;"),
              std::string::npos)
        << journal;
    EXPECT_NE(journal.find(" ---Checking... Time: \"01:02:03\"\n"), std::string::npos);
}

// A pass of another process (the headless runner) holds the marker beside the window: the
// window's pass says so, touches nothing and lets the error go on as any marker error does.
TEST(WindowJournal, TheWindowRefusesToRunBesideAnotherProcesssPass) {
    ari::test::TempFolder dir;
    fs::create_directory(dir / "bin");
    fs::create_directory(dir / "mdx");
    fs::create_directory(dir / "live");
    ari::test::MakeTable(dir / "live/items.dbf", ari::test::StandardRows());
    const std::string original = ari::test::ReadFileBytes(dir / "live/items.dbf");
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        ari::RunMarker marker;
        marker.Create(dir / "bin/reindexing");
        char c = 1;
        (void)!write(ready[1], &c, 1);
        (void)!read(release[0], &c, 1);
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ari::Environment env = ari::DefaultEnvironment();
    env.executablePath = dir / "bin/autoreindex";
    {
        TfMain window(env);
        ChoosePackOnly(window, dir.Path());
        EXPECT_THROW(window.ReindexProccess(), EInOutError);
        EXPECT_TRUE(window.mLog->toPlainText().startsWith(
            QStringLiteral("\\\\\\Another pass is running on these tables. Time: \"")))
            << window.mLog->toPlainText().toStdString();
    }
    EXPECT_EQ(ari::test::ReadFileBytes(dir / "live/items.dbf"), original);
    (void)!write(release[1], &c, 1);
    int status = 0;
    waitpid(holder, &status, 0);
}

}  // namespace
