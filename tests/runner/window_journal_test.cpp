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
#include "platform/FileNames.h"
#include "platform/RunMarker.h"
#include "schedule/Schedule.h"
#include "tests/maintenance/run_fixtures.h"
#include "tests/support/FakeEnvironment.h"
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

// The program's folder "bin", a template folder and a live folder with one table.
void MakeFolders(const ari::test::TempFolder& dir) {
    fs::create_directory(dir / "bin");
    fs::create_directory(dir / "mdx");
    fs::create_directory(dir / "live");
    ari::test::MakeTable(dir / "live/items.dbf", ari::test::StandardRows());
}

// Another process's pass: a child that holds the run marker in `programFolder` until released,
// then, when `succeeds`, leaves the record of the day's pass as every front end does.
class MarkerHeldByChild {
  public:
    MarkerHeldByChild(const std::string& programFolder, bool succeeds) {
        int ready[2];
        if (pipe(ready) != 0 || pipe(release_) != 0)
            ADD_FAILURE() << "pipe";
        child_ = fork();
        if (child_ == 0) {
            ari::RunMarker marker;
            marker.Create(programFolder + ari::kRunMarkerName);
            char c = 1;
            (void)!write(ready[1], &c, 1);
            (void)!read(release_[0], &c, 1);
            marker.CloseAndRemove();
            if (succeeds)
                ari::WritePassRecord(programFolder + ari::kPassRecordName,
                                     ari::EncodeDateTime(2026, 12, 10, 2, 0, 0));
            _exit(0);
        }
        char c = 0;
        EXPECT_EQ(read(ready[0], &c, 1), 1);
        close(ready[0]);
        close(ready[1]);
    }
    ~MarkerHeldByChild() { Release(); }
    // Lets the child end its pass and waits for it.
    void Release() {
        if (child_ <= 0)
            return;
        char c = 1;
        (void)!write(release_[1], &c, 1);
        waitpid(child_, nullptr, 0);
        child_ = -1;
        close(release_[0]);
        close(release_[1]);
    }

  private:
    pid_t child_ = -1;
    int release_[2] = {-1, -1};
};

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
        AddLog("---Checking... Time: \"01:02:03\"", true);  // a tick clears the panel
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
    MakeFolders(dir);
    const std::string original = ari::test::ReadFileBytes(dir / "live/items.dbf");
    MarkerHeldByChild other(dir / "bin/", false);
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
}

// The same seen by the window's schedule tick: a pass held off by another pass is no error (no
// error line, no box, the day not failed), and once the other pass has recorded its success
// the next tick counts the day as done and runs no second pass over the same tables.
TEST(WindowJournal, TheTickHeldOffByAnotherPassIsNoErrorAndTheOthersSuccessEndsTheDay) {
    ari::test::TempFolder dir;
    MakeFolders(dir);
    const std::string original = ari::test::ReadFileBytes(dir / "live/items.dbf");
    MarkerHeldByChild other(dir / "bin/", true);
    std::vector<std::string> boxes;
    ari::Dialogs().showError = [&](const std::string& t) { boxes.push_back(t); };
    ari::Dialogs().showMessage = [&](const std::string& t) { boxes.push_back(t); };
    ari::test::FakeClock clock;
    ari::test::NoSleep sleep;
    ari::test::NoStart start;
    ari::Environment env{&clock, &sleep, &start, dir / "bin/autoreindex"};
    {
        TfMain window(env);
        ChoosePackOnly(window, dir.Path());
        window.tmpckrBegin->setTime(QTime(1, 0, 0));
        window.tmpckrEnd->setTime(QTime(5, 0, 0));
        window.btnStart->click();
        clock.now = ari::EncodeDateTime(2026, 12, 10, 2, 0, 0);
        ProcessedToday = false;
        TodayStamp = QStringLiteral("10/12/2026");
        window.tStartReindexTimer();
        const QString log = window.mLog->toPlainText();
        EXPECT_TRUE(log.contains(QStringLiteral("\\\\\\Another pass is running on these tables.")))
            << log.toStdString();
        EXPECT_FALSE(log.contains(QStringLiteral("Error"))) << log.toStdString();
        EXPECT_FALSE(ProcessedToday);
        EXPECT_FALSE(window.StatusPanelText(1).contains(QStringLiteral("Another pass")));

        other.Release();
        clock.now += ari::EncodeTime(0, 1, 0);
        window.tStartReindexTimer();
        EXPECT_FALSE(window.mLog->toPlainText().contains(QStringLiteral("---Start reindex")))
            << window.mLog->toPlainText().toStdString();
        EXPECT_TRUE(ProcessedToday);
    }
    EXPECT_TRUE(boxes.empty()) << boxes.front();
    EXPECT_EQ(ari::test::ReadFileBytes(dir / "live/items.dbf"), original);
    ari::Dialogs() = {};
}

}  // namespace
