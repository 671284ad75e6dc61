// The startup sequence through the real window: paths, settings applied to the controls, the
// template folder on first start, failures stopping at their step, and the settings buttons.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unzip.h>

#include <QApplication>
#include <QByteArray>
#include <QFileDialog>
#include <QTimer>
#include <QToolButton>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "app/ErrorGuard.h"
#include "app/uMain.h"
#include "platform/Dialogs.h"
#include "templates/TemplateArchive.h"
#include "tests/support/TestFolders.h"

namespace {

namespace fs = std::filesystem;
using ari::test::ReadFileBytes;
using ari::test::TempFolder;
using ari::test::WriteFileBytes;

const char* const kNoFolders = "مسیر ها تعریف نشده اند";
const char* const kExtractFailed = "خطا در استخراج فایل - client";

class FixedClock final : public ari::Clock {
  public:
    ari::TDateTime Now() override { return now; }
    ari::TDateTime now = ari::EncodeDateTime(2025, 12, 8, 14, 5, 9);
};

class Startup : public ::testing::Test {
  protected:
    void SetUp() override {
        ari::Dialogs().showMessage = [this](const std::string& t) { messages.push_back(t); };
        ari::Dialogs().showError = [this](const std::string& t) { errors.push_back(t); };
        app = dir / "app/";
        fs::create_directories(app);
    }
    void TearDown() override {
        window.reset();
        ari::Dialogs() = {};
    }
    void WriteSettings(const std::string& lines) {
        WriteFileBytes(app + "Setting_VorelIndex.ini", "[Setting]\r\n" + lines);
    }
    void Start() {
        ari::Environment env = ari::DefaultEnvironment();
        env.clock = &clock;
        env.executablePath = app + "autoreindex";
        window = std::make_unique<TfMain>(env);
    }
    std::string Mdx() const { return app + "mdx/"; }
    std::string Begin() const {
        return window->tmpckrBegin->time().toString("HH:mm:ss").toStdString();
    }
    std::string End() const { return window->tmpckrEnd->time().toString("HH:mm:ss").toStdString(); }
    std::vector<bool> Boxes() const {
        return {window->CBCopyRe->isChecked(), window->CBPack->isChecked(),
                window->CBReIndex->isChecked(), window->chkAutomat->isChecked()};
    }
    bool Armed() const {
        return window->btnStartTag() == 1 && window->tStartReindex->Enabled() &&
               window->btnStart->text() == QStringLiteral("--- توقف ---");
    }
    bool Stopped() const {
        return window->btnStartTag() == 0 && !window->tStartReindex->Enabled() &&
               window->btnStart->text() == QStringLiteral("شروع");
    }

    TempFolder dir;
    std::string app;
    FixedClock clock;
    std::vector<std::string> messages, errors;
    std::unique_ptr<TfMain> window;
};

// Stored name and modification time of each entry of the embedded archive.
std::map<std::string, time_t> ArchiveDates(const std::string& scratch) {
    QByteArray data;
    EXPECT_TRUE(ari::FindRawResource("mdx", data));
    WriteFileBytes(scratch, data.toStdString());
    std::map<std::string, time_t> out;
    unzFile zip = unzOpen64(scratch.c_str());
    for (int rc = unzGoToFirstFile(zip); rc == UNZ_OK; rc = unzGoToNextFile(zip)) {
        unz_file_info64 info;
        char name[512];
        unzGetCurrentFileInfo64(zip, &info, name, sizeof name, nullptr, 0, nullptr, 0);
        struct tm t = {};
        t.tm_year = static_cast<int>(info.tmu_date.tm_year) - 1900;
        t.tm_mon = static_cast<int>(info.tmu_date.tm_mon);
        t.tm_mday = static_cast<int>(info.tmu_date.tm_mday);
        t.tm_hour = static_cast<int>(info.tmu_date.tm_hour);
        t.tm_min = static_cast<int>(info.tmu_date.tm_min);
        t.tm_sec = static_cast<int>(info.tmu_date.tm_sec);
        t.tm_isdst = -1;
        out[name] = mktime(&t);
    }
    unzClose(zip);
    return out;
}

TEST_F(Startup, FirstStartUnpacksTheTemplatesBesideTheProgram) {
    Start();
    EXPECT_EQ(AppDir.toStdString(), app);
    EXPECT_EQ(SettingsFile.toStdString(), app + "Setting_VorelIndex.ini");
    EXPECT_EQ(TemplateDir.toStdString(), Mdx());
    EXPECT_EQ(TodayStamp, QStringLiteral("08/12/2025"));
    EXPECT_FALSE(ProcessedToday);

    const std::map<std::string, time_t> stored = ArchiveDates(dir / "copy.zip");
    ASSERT_EQ(stored.size(), 120u);
    std::map<std::string, time_t> found;
    for (const auto& e : fs::directory_iterator(Mdx())) {
        struct stat st;
        stat(e.path().c_str(), &st);
        found[e.path().filename().string()] = st.st_mtime;
    }
    EXPECT_EQ(found, stored) << "the 120 files with their stored dates, no mdx.zip";

    EXPECT_EQ(window->LESource->text().toStdString(), Mdx());
    EXPECT_EQ(window->LEMaghsad->text(), QString());
    EXPECT_EQ(Begin(), "00:00:01");
    EXPECT_EQ(End(), "06:00:00");
    EXPECT_EQ(Boxes(), (std::vector<bool>{false, false, false, false}));
    EXPECT_TRUE(Stopped());
    EXPECT_TRUE(messages.empty());
    EXPECT_TRUE(errors.empty());
    EXPECT_FALSE(fs::exists(app + "Setting_VorelIndex.ini")) << "starting writes no settings";
}

TEST_F(Startup, AnExistingTemplateFolderIsLeftAloneEvenWhenEmpty) {
    fs::create_directory(Mdx());
    Start();
    EXPECT_TRUE(fs::is_empty(Mdx()));
    EXPECT_EQ(window->LESource->text().toStdString(), Mdx());
    EXPECT_TRUE(messages.empty());
}

TEST_F(Startup, AFileWhereTheTemplateFolderBelongsShowsTheExtractionMessage) {
    WriteFileBytes(app + "mdx", "in the way");
    Start();
    EXPECT_EQ(messages, std::vector<std::string>{kExtractFailed});
    EXPECT_EQ(ReadFileBytes(app + "mdx"), "in the way");
    EXPECT_EQ(window->LESource->text().toStdString(), Mdx()) << "the fallback still applies";
}

struct SettingsCase {
    const char* label;
    std::string lines;
    std::vector<std::string> errors;  // error boxes shown
    std::string begin, end;
    std::string source, dest;  // "<mdx>" for the template folder
    std::vector<bool> boxes;   // Transfer, Pack, Reindex, Automat
    bool templatesUnpacked;
};

// Test names and failure reports show the case label rather than its bytes.
void PrintTo(const SettingsCase& c, std::ostream* os) {
    *os << c.label;
}

class StartupSettings : public Startup, public ::testing::WithParamInterface<SettingsCase> {};

TEST_P(StartupSettings, AreAppliedUntilTheFirstBadValue) {
    const SettingsCase& c = GetParam();
    fs::create_directory(dir / "live");
    WriteSettings(c.lines);
    Start();
    // A bad value's message names its key and the settings file after the conversion's text.
    std::vector<std::string> expected = c.errors;
    for (std::string& e : expected) {
        const auto at = e.find("<file>");
        if (at != std::string::npos)
            e.replace(at, 6, app + "Setting_VorelIndex.ini");
    }
    EXPECT_EQ(errors, expected);
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(Begin(), c.begin);
    EXPECT_EQ(End(), c.end);
    EXPECT_EQ(window->LESource->text().toStdString(), c.source == "<mdx>" ? Mdx() : c.source);
    EXPECT_EQ(window->LEMaghsad->text().toStdString(), c.dest);
    EXPECT_EQ(Boxes(), c.boxes);
    EXPECT_EQ(fs::exists(Mdx()), c.templatesUnpacked);
    EXPECT_TRUE(Stopped());
}

const std::vector<bool> kClear = {false, false, false, false};

INSTANTIATE_TEST_SUITE_P(
    Cases, StartupSettings,
    ::testing::Values(
        SettingsCase{
            "bad_end",
            "Begin=06:30\r\nEnd=25:00\r\nSource=/s\r\nDest=/d\r\nPack=-1\r\nAutomat=-1\r\n",
            {"'25:00' is not a valid time (key End in <file>)"},
            "06:30:00",
            "06:00:00",
            "",
            "",
            kClear,
            false},
        SettingsCase{"bad_begin",
                     "Begin=06:60\r\nEnd=07:00\r\nDest=/d\r\n",
                     {"'06:60' is not a valid time (key Begin in <file>)"},
                     "00:00:01",
                     "06:00:00",
                     "",
                     "",
                     kClear,
                     false},
        SettingsCase{"bad_flag_stops_at_its_box",
                     "Transfer=-1\r\nPack=yes\r\nReindex=-1\r\nAutomat=-1\r\nDest=/d\r\n",
                     {"'yes' is not a valid boolean value (key Pack in <file>)"},
                     "00:00:01",
                     "06:00:00",
                     "<mdx>",
                     "/d",
                     {true, false, false, false},
                     true},
        SettingsCase{"flag_words_and_numbers",
                     "Begin=6:30\r\nEnd=18:30:15\r\nTransfer=true\r\nPack=2.5\r\nReindex=FALSE\r\n"
                     "Automat=0\r\n",
                     {},
                     "06:30:00",
                     "18:30:15",
                     "<mdx>",
                     "",
                     {true, true, false, false},
                     true},
        SettingsCase{"empty_values_keep_defaults",
                     "Begin=\r\nEnd=\r\nSource=\r\nDest=\r\nTransfer=\r\nPack=\r\n",
                     {},
                     "00:00:01",
                     "06:00:00",
                     "<mdx>",
                     "",
                     kClear,
                     true},
        SettingsCase{"folders_unchanged",
                     "Source=  \"/data/tmpl\"  \r\nDest=/data/live \r\n",
                     {},
                     "00:00:01",
                     "06:00:00",
                     "/data/tmpl",
                     "/data/live",
                     kClear,
                     true}),
    [](const auto& p) { return std::string(p.param.label); });

TEST_F(Startup, AutomaticStartArmsTheSchedule) {
    fs::create_directory(dir / "live");
    WriteSettings("Dest=" + dir / "live" + "\r\nPack=-1\r\nAutomat=-1\r\n");
    Start();
    EXPECT_TRUE(messages.empty());
    EXPECT_TRUE(Armed());
}

TEST_F(Startup, AutomaticStartWithoutALiveFolderSaysSoAndStaysStopped) {
    WriteSettings("Pack=-1\r\nReindex=-1\r\nAutomat=-1\r\n");
    Start();
    EXPECT_EQ(messages, std::vector<std::string>{kNoFolders});
    EXPECT_TRUE(Stopped());
}

TEST_F(Startup, TodayStampIsTheStartDate) {
    clock.now = ari::EncodeDateTime(2026, 1, 1, 0, 0, 0);
    Start();
    EXPECT_EQ(TodayStamp, QStringLiteral("01/01/2026"));
    EXPECT_FALSE(ProcessedToday);
}

// ---- The save button.

TEST_F(Startup, SaveWritesTheEightKeysInOrderAndAgainInPlace) {
    Start();
    window->tmpckrBegin->setTime(QTime(6, 30, 0));
    window->LEMaghsad->setText(QString::fromStdString(dir / "live"));
    window->CBReIndex->setChecked(true);
    window->CBPack->setChecked(true);
    window->chkAutomat->setChecked(true);
    const std::string expected = "[Setting]\r\nBegin=06:30:00\r\nEnd=06:00:00\r\nSource=" + Mdx() +
                                 "\r\nDest=" + dir / "live" +
                                 "\r\nTransfer=0\r\nReindex=-1\r\nPack=-1\r\nAutomat=-1\r\n";
    window->BitBtn1->click();
    EXPECT_EQ(ReadFileBytes(app + "Setting_VorelIndex.ini"), expected);
    window->BitBtn1->click();
    EXPECT_EQ(ReadFileBytes(app + "Setting_VorelIndex.ini"), expected);
    EXPECT_TRUE(errors.empty());

    // What was saved comes back at the next start.
    window.reset();
    Start();
    EXPECT_EQ(Begin(), "06:30:00");
    EXPECT_EQ(window->LEMaghsad->text().toStdString(), dir / "live");
    EXPECT_EQ(Boxes(), (std::vector<bool>{false, true, true, true}));
    EXPECT_TRUE(Armed());
}

TEST_F(Startup, SaveWithAnEmptyDestinationWritesAnEmptyValue) {
    Start();
    window->BitBtn1->click();
    EXPECT_NE(ReadFileBytes(app + "Setting_VorelIndex.ini").find("\r\nDest=\r\n"),
              std::string::npos);
}

TEST_F(Startup, ASaveThatCannotWriteShowsUnableToWrite) {
    Start();
    // The program's folder is gone and a file has its name: nothing can be written there.
    fs::rename(app, dir / "moved");
    WriteFileBytes(dir / "app", "not a folder");
    window->BitBtn1->click();
    EXPECT_EQ(errors,
              std::vector<std::string>{"Unable to write to " + app + "Setting_VorelIndex.ini."});
}

// ---- The browse buttons.

TEST_F(Startup, BrowseButtonsFillTheirEditsAndACancelChangesNothing) {
    Start();
    std::vector<std::pair<bool, std::string>> answers;
    ari::Dialogs().pickFolder = [&answers](std::string& folder) {
        const auto a = answers.front();
        answers.erase(answers.begin());
        if (a.first)
            folder = a.second;
        return a.first;
    };
    answers = {{true, "/"}, {true, "/srv/data"}, {false, ""}};
    window->BitBtn2->click();
    EXPECT_EQ(window->LEMaghsad->text(), QStringLiteral("/"));
    window->BitBtn3->click();
    EXPECT_EQ(window->LESource->text(), QStringLiteral("/srv/data"));
    window->BitBtn3->click();
    EXPECT_EQ(window->LESource->text(), QStringLiteral("/srv/data"));
    window->LEMaghsad->clear();
    answers = {{false, ""}};
    window->BitBtn2->click();
    EXPECT_EQ(window->LEMaghsad->text(), QString());
    EXPECT_FALSE(fs::exists(app + "Setting_VorelIndex.ini")) << "browsing saves nothing";
}

// ---- The folder picker the window installs.

class FolderPicker : public ::testing::Test {
  protected:
    void SetUp() override { ari::InstallQtDialogs(); }
    void TearDown() override { ari::Dialogs() = {}; }

    // Opens the picker; `answer` runs on the open dialog and closes it.
    bool Pick(std::string& folder, const std::function<void(QFileDialog*)>& answer) {
        bool answered = false;
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            answered = true;
            answer(dialog);
        });
        const bool picked = ari::PickFolder(folder);
        EXPECT_TRUE(answered) << "no modal folder dialog was open";
        return picked;
    }
};

TEST_F(FolderPicker, IsAModalFolderDialogWithoutANewFolderButton) {
    std::string folder = "unchanged";
    const bool picked = Pick(folder, [](QFileDialog* d) {
        EXPECT_EQ(d->windowTitle(), QStringLiteral("Browser Directory"));
        EXPECT_EQ(d->fileMode(), QFileDialog::Directory);
        EXPECT_TRUE(d->isModal());
        auto* newFolder = d->findChild<QToolButton*>(QStringLiteral("newFolderButton"));
        EXPECT_TRUE(!newFolder || !newFolder->isVisible());
        d->reject();
    });
    EXPECT_FALSE(picked);
    EXPECT_EQ(folder, "unchanged");
}

TEST_F(FolderPicker, GivesThePathWithoutTrailingSeparatorExceptForTheRoot) {
    TempFolder dir;
    fs::create_directory(dir / "Data");
    struct Case {
        std::string shown, expected;
    };
    for (const Case& c : {Case{dir / "Data/", dir / "Data"}, Case{"/", "/"}}) {
        std::string folder;
        ASSERT_TRUE(Pick(folder, [&c](QFileDialog* d) {
            d->setDirectory(QString::fromStdString(c.shown));
            static_cast<QDialog*>(d)->accept();  // QFileDialog hides accept()
        }));
        EXPECT_EQ(folder, c.expected);
    }
}

}  // namespace
