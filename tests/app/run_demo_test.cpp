// A maintenance run through the real window over the demo folder that scripts/start.sh makes
// (maketemplates: the template set and a live folder of filled copies whose indexes are
// current, stale or missing): with only the transfer ticked, every live table passes
// `dbtool check` when the run has ended: each transferred index lists the live table's records,
// not the template's.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "app/uMain.h"
#include "engine/TTable.h"
#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "tests/support/TestFolders.h"

namespace {

namespace fs = std::filesystem;

int RunQuietly(const std::string& commandLine) {
    const int status = std::system((commandLine + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Quoted(const std::string& path) {
    return "'" + path + "'";
}

std::vector<std::string> Tables(const std::string& folder) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(folder)) {
        const std::string name = e.path().filename().string();
        if (e.is_regular_file() && name[0] != '.' && ari::MatchesMask(name, "*.dbf"))
            out.push_back(name);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// The tables of `folder` that fail `dbtool check`.
std::vector<std::string> FailingCheck(const std::string& folder) {
    std::vector<std::string> out;
    for (const auto& t : Tables(folder)) {
        if (RunQuietly(std::string(ARI_BIN_DIR) + "/dbtool check " + Quoted(folder + t)) != 0)
            out.push_back(t);
    }
    return out;
}

// Tables whose header names a production index.
int IndexedTables(const std::string& folder) {
    int n = 0;
    for (const auto& t : Tables(folder)) {
        TTable table("Reader");
        table.SetDatabaseName(folder);
        table.SetTableName(t);
        table.IndexDefs().Update();
        n += table.IndexDefs().Count() > 0 ? 1 : 0;
    }
    return n;
}

TEST(DemoFolder, TransferOnlyRunLeavesEveryTableChecked) {
    ari::test::TempFolder dir;
    const std::string bin = dir / "bin/";
    const std::string tmpl = dir / "mdx/";
    const std::string live = dir / "live/";
    fs::create_directory(bin);
    const std::string maker = std::string(ARI_BIN_DIR) + "/maketemplates";
    ASSERT_EQ(RunQuietly(maker + " --archive " + Quoted(dir / "templates.zip") + " --keep " +
                         Quoted(tmpl)),
              0);
    ASSERT_EQ(RunQuietly(maker + " --demo " + Quoted(live)), 0);
    // The demo folder starts with stale indexes: the check sees them.
    ASSERT_FALSE(FailingCheck(live).empty());

    std::vector<std::string> boxes;
    ari::Dialogs().showMessage = [&](const std::string& t) { boxes.push_back(t); };
    ari::Dialogs().showError = [&](const std::string& t) { boxes.push_back(t); };
    ari::Environment env = ari::DefaultEnvironment();
    env.executablePath = bin + "autoreindex";
    {
        TfMain window(env);
        window.LESource->setText(QString::fromStdString(tmpl));
        window.LEMaghsad->setText(QString::fromStdString(live));
        window.CBCopyRe->setChecked(true);
        window.CBReIndex->setChecked(false);
        window.CBPack->setChecked(false);
        EXPECT_TRUE(window.ReindexProccess()) << window.mLog->toPlainText().toStdString();
    }
    ari::Dialogs() = {};
    EXPECT_TRUE(boxes.empty());

    EXPECT_EQ(FailingCheck(live), std::vector<std::string>{});
    EXPECT_GT(IndexedTables(live), 30);  // the check looked at indexes, not at bare tables
}

}  // namespace
