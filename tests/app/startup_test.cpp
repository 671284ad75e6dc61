// The startup sequence through the real window: paths, settings applied to the controls, the
// template folder on first start, failures stopping at their step, and the settings buttons.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unzip.h>

#include <QApplication>
#include <QByteArray>
#include <QFileDialog>
#include <QTimer>
#include <QToolButton>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "app/QtDialogs.h"
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
    std::string data;
    EXPECT_TRUE(ari::FindRawResource("mdx", data));
    WriteFileBytes(scratch, data);
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

// Every file below `folder` (hidden ones included) with its bytes.
std::map<std::string, std::string> Contents(const std::string& folder) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(folder))
        out[e.path().lexically_relative(folder).string()] =
            e.is_regular_file() ? ReadFileBytes(e.path().string()) : "<folder>";
    return out;
}

class Unpacking : public Startup {
  protected:
    // The template folder a whole unpack makes: the embedded archive unpacked elsewhere.
    std::map<std::string, std::string> Whole() {
        std::string data;
        EXPECT_TRUE(ari::FindRawResource("mdx", data));
        WriteFileBytes(dir / "whole.zip", data);
        fs::create_directory(dir / "whole");
        EXPECT_TRUE(UnzipAll(dir / "whole.zip", dir / "whole/"));
        return Contents(dir / "whole/");
    }
};

TEST_F(Unpacking, WhatAnEndedFirstStartLeftIsCompletedByTheNext) {
    // An earlier start ended part way: its archive cut short, some entries out, a temporary of
    // the entry it was writing. A template the administrator changed since stays as it is.
    const auto whole = Whole();
    ASSERT_EQ(whole.size(), 120u);
    fs::create_directory(Mdx());
    std::string data;
    ASSERT_TRUE(ari::FindRawResource("mdx", data));
    WriteFileBytes(Mdx() + "mdx.zip", data.substr(0, data.size() / 2));
    auto expected = whole;
    int n = 0;
    for (const auto& [name, bytes] : whole) {
        if (++n > 10)
            break;
        WriteFileBytes(Mdx() + name, n == 3 ? "changed by hand" : bytes);
        if (n == 3)
            expected[name] = "changed by hand";
        if (n == 10)
            WriteFileBytes(Mdx() + "." + std::next(whole.begin(), 10)->first + ".a1B2c3", "cut");
    }
    Start();
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(Contents(Mdx()), expected);
    EXPECT_FALSE(fs::exists(app + ".mdx.unpacking"));
}

TEST_F(Unpacking, AnArchiveNameThatIsALinkIsNeverWrittenThrough) {
    // Whoever can write the template folder may leave a link where the archive goes: a start
    // writes its own file there, never the one the link names (nor creates it).
    const auto whole = Whole();
    for (const bool dangling : {false, true}) {
        SCOPED_TRACE(dangling ? "a link to nothing" : "a link to a file");
        fs::remove_all(Mdx());
        fs::remove(dir / "elsewhere.txt");
        fs::create_directory(Mdx());
        if (!dangling)
            WriteFileBytes(dir / "elsewhere.txt", "somebody's file");
        fs::create_symlink(dir / "elsewhere.txt", Mdx() + "mdx.zip");
        Start();
        window.reset();
        EXPECT_TRUE(messages.empty());
        if (dangling) {
            EXPECT_FALSE(fs::exists(dir / "elsewhere.txt"));
        } else {
            EXPECT_EQ(ReadFileBytes(dir / "elsewhere.txt"), "somebody's file");
            EXPECT_TRUE(Contents(Mdx()) == whole) << "completed";
        }
    }
}

TEST_F(Unpacking, AFirstStartKilledAtAnyMomentIsCompletedByTheNext) {
    const auto whole = Whole();
    ASSERT_EQ(whole.size(), 120u);
    int partial = 0;
    for (const int ms : {0, 40, 80, 120, 160, 240, 400}) {
        SCOPED_TRACE(ms);
        app = dir / ("kill" + std::to_string(ms) + "/");
        fs::create_directory(app);
        // The program itself, started from this folder: its templates go beside it.
        std::error_code linked;
        fs::create_hard_link(std::string(ARI_BIN_DIR) + "/autoreindex", app + "autoreindex",
                             linked);
        if (linked)
            fs::copy_file(std::string(ARI_BIN_DIR) + "/autoreindex", app + "autoreindex");
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const std::string exe = app + "autoreindex";
            execl(exe.c_str(), "autoreindex", static_cast<char*>(nullptr));
            _exit(127);
        }
        usleep(static_cast<useconds_t>(ms) * 1000);
        kill(child, SIGKILL);
        int status = -1;
        waitpid(child, &status, 0);
        partial += fs::exists(Mdx()) && Contents(Mdx()) != whole ? 1 : 0;

        Start();
        EXPECT_TRUE(messages.empty());
        EXPECT_EQ(Contents(Mdx()), whole);
        EXPECT_FALSE(fs::exists(app + ".mdx.unpacking"));
        window.reset();
    }
    std::printf("starts killed part way through the unpack: %d\n", partial);
}

TEST_F(Unpacking, AFirstStartUnderAFileSizeLimitIsNotEndedAndTheNextCompletes) {
    // The archive's write fails part way (the limit is below its size): the program must live
    // on to report it, not end by SIGXFSZ, and leave nothing a later start cannot complete.
    const auto whole = Whole();
    for (const rlim_t limit : {rlim_t{1}, rlim_t{4096}, rlim_t{40000}}) {
        SCOPED_TRACE(limit);
        app = dir / ("limit" + std::to_string(limit) + "/");
        fs::create_directory(app);
        std::error_code linked;
        fs::create_hard_link(std::string(ARI_BIN_DIR) + "/autoreindex", app + "autoreindex",
                             linked);
        if (linked)
            fs::copy_file(std::string(ARI_BIN_DIR) + "/autoreindex", app + "autoreindex");
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            signal(SIGXFSZ, SIG_DFL);  // as a shell starts it
            const rlimit r{limit, limit};
            setrlimit(RLIMIT_FSIZE, &r);
            const std::string exe = app + "autoreindex";
            execl(exe.c_str(), "autoreindex", static_cast<char*>(nullptr));
            _exit(127);
        }
        usleep(1500 * 1000);  // the start fails its unpack and waits on its message box
        kill(child, SIGKILL);
        int status = -1;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), SIGKILL) << "the program ended by itself";

        Start();
        EXPECT_TRUE(messages.empty());
        EXPECT_EQ(Contents(Mdx()), whole);
        EXPECT_FALSE(fs::exists(app + ".mdx.unpacking"));
        window.reset();
    }
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

TEST_F(Startup, SettingsWithAByteOrderMarkArmTheScheduleToo) {
    // What a Windows editor saves: UTF-8 with a mark, or UTF-16 either way round.
    fs::create_directory(dir / "live");
    const std::string text = "[Setting]\r\nDest=" + dir / "live" + "\r\nPack=-1\r\nAutomat=-1\r\n";
    for (const std::string mark : {"\xEF\xBB\xBF", "\xFF\xFE", "\xFE\xFF"}) {
        SCOPED_TRACE(testing::PrintToString(mark));
        std::string bytes = mark;
        if (mark.size() == 3) {
            bytes += text;
        } else {
            for (const char c : text)  // ASCII text: one unit per character
                bytes += mark == "\xFF\xFE" ? std::string{c, '\0'} : std::string{'\0', c};
        }
        WriteFileBytes(app + "Setting_VorelIndex.ini", bytes);
        Start();
        EXPECT_TRUE(errors.empty());
        EXPECT_TRUE(messages.empty());
        EXPECT_EQ(window->LEMaghsad->text().toStdString(), dir / "live");
        EXPECT_TRUE(Armed());
        window.reset();
    }
}

TEST_F(Startup, ASettingsFileThatIsNoFileOrHoldsANulStopsWithAnError) {
    // A pipe under the settings file's name must not hold the start; a value with a NUL would
    // be cut short without a word.
    struct Case {
        const char* what;
        std::string error;
    };
    const char kNulFlag[] = "Dest=/d\r\nPack=-1\0\r\nAutomat=-1\r\n";
    const Case cases[] = {
        {"a pipe", app + "Setting_VorelIndex.ini is not a regular file."},
        {"a NUL in a flag", "'-1\\0' is not a valid value for Pack."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(app + "Setting_VorelIndex.ini");
        if (std::string(c.what) == "a pipe")
            ASSERT_EQ(mkfifo((app + "Setting_VorelIndex.ini").c_str(), 0600), 0);
        else
            WriteSettings(std::string(kNulFlag, sizeof kNulFlag - 1));
        errors.clear();
        alarm(30);  // a start that waits on the pipe ends the test program instead of holding it
        Start();
        alarm(0);
        EXPECT_EQ(errors, std::vector<std::string>{c.error});
        EXPECT_FALSE(window->CBPack->isChecked());
        EXPECT_TRUE(Stopped());
        window.reset();
    }
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

// ---- Folders the user cannot write.

// Makes `folder` read-only for the time of a test; true when this user can no longer write it
// (root writes it all the same).
class ReadOnly {
  public:
    explicit ReadOnly(std::string folder) : folder_(std::move(folder)) {
        fs::permissions(folder_,
                        fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove);
    }
    ~ReadOnly() { fs::permissions(folder_, fs::perms::owner_write, fs::perm_options::add); }
    bool Holds() const { return access(folder_.c_str(), W_OK) != 0; }

  private:
    std::string folder_;
};

const std::string kNeedsRights = "این برنامه برای ذخیره تنظیمات و اجرای عملیات به اجازه نوشتن";

TEST_F(Startup, AProgramFolderThatCannotBeWrittenIsNamedOnceAtStart) {
    fs::create_directories(Mdx());  // the templates are there already
    WriteSettings("Dest=" + (dir / "live") + "\r\n");
    fs::create_directories(dir / "live");
    const ReadOnly readOnly(app);
    if (!readOnly.Holds())
        GTEST_SKIP() << "this user writes read-only folders (root)";
    Start();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].rfind(kNeedsRights, 0), 0u) << messages[0];
    EXPECT_NE(messages[0].find(app), std::string::npos) << messages[0];
    EXPECT_EQ(messages[0].find(dir / "live"), std::string::npos) << messages[0];
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(window->LEMaghsad->text().toStdString(), dir / "live");
}

TEST_F(Startup, ALiveFolderThatCannotBeWrittenIsNamedOnceAtStart) {
    fs::create_directories(dir / "live");
    WriteSettings("Dest=" + (dir / "live") + "\r\nPack=-1\r\nAutomat=-1\r\n");
    const ReadOnly readOnly(dir / "live");
    if (!readOnly.Holds())
        GTEST_SKIP() << "this user writes read-only folders (root)";
    Start();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].rfind(kNeedsRights, 0), 0u) << messages[0];
    EXPECT_NE(messages[0].find(dir / "live"), std::string::npos) << messages[0];
    EXPECT_EQ(messages[0].find(app), std::string::npos) << messages[0];
    EXPECT_TRUE(errors.empty());
    EXPECT_TRUE(Armed());  // the schedule is armed as ever: the box only warns
}

TEST_F(Startup, WritableFoldersGiveNoWordOfRights) {
    fs::create_directories(dir / "live");
    WriteSettings("Dest=" + (dir / "live") + "\r\n");
    Start();
    EXPECT_TRUE(messages.empty()) << messages.front();
    EXPECT_TRUE(errors.empty());
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
