// The maintenance run through the real window and the real engine, over fixture folders:
// the log line for line, what the tables and index files look like afterwards, the run marker,
// a table held by another process, empty folder texts and a run started inside a run.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QImage>
#include <QListWidgetItem>
#include <QPixmap>
#include <QRegularExpression>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>

#include "app/uMain.h"
#include "engine/TTable.h"
#include "engine/index/MdxBuild.h"
#include "platform/Dialogs.h"
#include "platform/Env.h"
#include "platform/Exception.h"
#include "platform/Files.h"
#include "tests/maintenance/run_fixtures.h"
#include "tests/support/FailingEnv.h"
#include "tests/support/TestFolders.h"

namespace {

using ari::test::Bytes;
using ari::test::HeldByChild;
using ari::test::Surviving;
using ari::test::TempFolder;

namespace fs = std::filesystem;

// A "HH:MM:SS" time between double quotes, as every time of the log stands.
const QString kTime = QStringLiteral("\"[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\"");

using ari::test::FileNamesIn;

// Adds tags to a closed table through the engine, as the template tables carry them.
void AddTags(const std::string& folder, const std::string& table,
             const std::vector<std::pair<std::string, std::string>>& tags) {
    TTable t("Fixture");
    t.SetDatabaseName(folder);
    t.SetTableName(table);
    for (const auto& [name, key] : tags)
        t.AddIndex(name, key, ixExpression);
}

std::vector<std::pair<std::string, std::string>> Tags(const std::string& folder,
                                                      const std::string& table) {
    TTable t("Reader");
    t.SetDatabaseName(folder);
    t.SetTableName(table);
    t.IndexDefs().Update();
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& d : t.IndexDefs().Items())
        out.emplace_back(d.Name, d.FieldExpression);
    return out;
}

using ari::test::DbtoolCheck;

class Run : public ::testing::Test {
  protected:
    void SetUp() override {
        ari::Dialogs().showMessage = [this](const std::string& t) { boxes.push_back(t); };
        ari::Dialogs().showError = [this](const std::string& t) { boxes.push_back(t); };
        fs::create_directory(bin);
        fs::create_directory(tmpl);
        fs::create_directory(live);
        ari::Environment env = ari::DefaultEnvironment();
        env.executablePath = bin + "autoreindex";
        window = std::make_unique<TfMain>(env);
        boxes.clear();
        window->LESource->setText(QString::fromStdString(tmpl));
        window->LEMaghsad->setText(QString::fromStdString(live));
        window->CBCopyRe->setChecked(false);
        window->CBReIndex->setChecked(false);
        window->CBPack->setChecked(false);
        window->mLog->clear();
    }
    void TearDown() override {
        EXPECT_TRUE(boxes.empty()) << boxes.front();
        window.reset();
        ari::Dialogs() = {};
    }

    void Choose(bool copy, bool reindex, bool pack) {
        window->CBCopyRe->setChecked(copy);
        window->CBReIndex->setChecked(reindex);
        window->CBPack->setChecked(pack);
    }
    QStringList Log() const {
        const QString text = window->mLog->toPlainText();
        return text.isEmpty() ? QStringList() : text.split(u'\n');
    }
    // Compares the log with `expected`, where "<time>" stands for a quoted "HH:MM:SS".
    void ExpectLog(const QStringList& expected) {
        const QStringList log = Log();
        ASSERT_EQ(log.size(), expected.size()) << log.join(u'\n').toStdString();
        for (qsizetype i = 0; i < log.size(); ++i) {
            QStringList pieces = expected[i].split(QStringLiteral("<time>"));
            for (QString& p : pieces)
                p = QRegularExpression::escape(p);
            const QString pattern = pieces.join(kTime);
            const QRegularExpression re(QRegularExpression::anchoredPattern(pattern));
            EXPECT_TRUE(re.match(log[i]).hasMatch())
                << "line " << i << ": " << log[i].toStdString() << "\n  expected "
                << expected[i].toStdString();
        }
    }
    std::vector<bool> Ticks() const {
        std::vector<bool> out;
        for (int i = 0; i < window->CLBFile->count(); ++i)
            out.push_back(window->CLBFile->item(i)->checkState() == Qt::Checked);
        return out;
    }
    // Runs `action` at the window's first turn inside the run (after the first table of the
    // index pass), while the run, on its own thread, waits for it; in a run that gives no such
    // turn, at the first turn of the window's event loop after the run.
    void DuringRun(std::function<void()> action) {
        auto pending = std::make_shared<std::function<void()>>(std::move(action));
        QObject::connect(window.get(), &TfMain::RunPumped, window.get(), [pending] {
            if (*pending)
                std::exchange(*pending, nullptr)();
        });
        AfterRun(pending);
    }
    void AfterRun(std::shared_ptr<std::function<void()>> pending) {
        QTimer::singleShot(0, window.get(), [this, pending] {
            if (!*pending)
                return;
            if (window->RunInProgress())
                AfterRun(pending);
            else
                std::exchange(*pending, nullptr)();
        });
    }
    std::string Marker() const { return bin + "reindexing"; }

    TempFolder dir;
    std::string bin = dir / "bin/";
    std::string tmpl = dir / "mdx/";
    std::string live = dir / "live/";
    std::vector<std::string> boxes;
    std::unique_ptr<TfMain> window;
};

// ---- the log, line for line

TEST_F(Run, TransferAndPackOverTwoTables) {
    for (const char* t : {"a.dbf", "b.dbf"}) {
        ari::test::MakeTable(tmpl + t, {});
        AddTags(tmpl, t, {{"ID", "ID"}, {"NAME", "UPPER(NAME)"}});
        ari::test::MakeTable(live + t, ari::test::StandardRows());
        AddTags(live, t, {{"OLD", "NAME"}});
    }
    Choose(true, false, true);
    EXPECT_TRUE(window->ReindexProccess());
    ExpectLog({"---Copy Index a.dbf", "---Copy Index b.dbf", "---Packing a.dbf ... ",
               "---Packing b.dbf ... ", "---ReIndex has successfully Time: <time>",
               "---Pack has successfully Time: <time>"});
    for (const char* t : {"a.dbf", "b.dbf"}) {
        SCOPED_TRACE(t);
        EXPECT_EQ(ari::test::ReadRows(live + t), Surviving(ari::test::StandardRows()));
        EXPECT_EQ(ari::test::RecordCount(live + t), 3u);
        EXPECT_EQ(Tags(live, t), Tags(tmpl, t));  // the template's index, rebuilt by the pack
        EXPECT_EQ(DbtoolCheck(live + t), 0);
    }
    EXPECT_EQ(Ticks(), (std::vector<bool>{true, true}));
    EXPECT_EQ(window->ProgressBar1->value(), 2);
    EXPECT_FALSE(window->Table1->Active());
    EXPECT_FALSE(window->Table2->Active());
    EXPECT_TRUE(window->windowTitle().isEmpty());
}

TEST_F(Run, RebuildWithATemplateWithoutIndexes) {
    ari::test::MakeTable(tmpl + "c.dbf", {});
    ari::test::MakeTable(live + "c.dbf", ari::test::StandardRows());
    AddTags(live, "c.dbf", {{"NAME", "NAME"}});
    // The header as a table from the template set with an index file has it.
    {
        std::string bytes = Bytes(live + "c.dbf");
        bytes[28] = 1;
        bytes[29] = 0x57;
        ari::test::WriteFileBytes(live + "c.dbf", bytes);
    }
    const std::string before = Bytes(live + "c.dbf");
    Choose(false, true, false);
    EXPECT_TRUE(window->ReindexProccess());
    ExpectLog({"---ReIndex has successfully Time: <time>"});
    EXPECT_EQ(FileNamesIn(live), (std::vector<std::string>{"c.dbf", "c.dbt"}));  // index file gone
    const std::string after = Bytes(live + "c.dbf");
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < after.size(); ++i) {
        if (i == 28 || i == 29) {
            EXPECT_EQ(after[i], 0) << "byte " << i;
        } else {
            EXPECT_EQ(after[i], before[i]) << "byte " << i;
        }
    }
    EXPECT_TRUE(window->Memo1->toPlainText().isEmpty());
    EXPECT_EQ(DbtoolCheck(live + "c.dbf"), 0);
}

TEST_F(Run, OnlyPacking) {
    for (const char* t : {"B.DBF", "a.dbf", "c.dbf"})
        ari::test::MakeTable(live + t, ari::test::StandardRows());
    ari::test::WriteFileBytes(live + ".hidden.dbf", "not a table");
    fs::create_directory(live + "folder.dbf");
    fs::remove_all(tmpl);  // not looked at when only packing
    bool pumped = false;
    DuringRun([&] { pumped = true; });
    Choose(false, false, true);
    EXPECT_TRUE(window->ReindexProccess());
    EXPECT_FALSE(pumped);  // the pack pass pumps no messages
    ExpectLog({"---Packing a.dbf ... ", "---Packing B.DBF ... ", "---Packing c.dbf ... ",
               "---Pack has successfully Time: <time>"});
    QCoreApplication::processEvents();
    EXPECT_TRUE(pumped);
    for (const char* t : {"B.DBF", "a.dbf", "c.dbf"})
        EXPECT_EQ(ari::test::ReadRows(live + t), Surviving(ari::test::StandardRows())) << t;
    EXPECT_EQ(window->CLBFile->item(1)->text(), "B.DBF");
    EXPECT_EQ(Ticks(), (std::vector<bool>{true, true, true}));
}

TEST_F(Run, MissingTemplateFolderTypedWithoutSeparator) {
    ari::test::MakeTable(live + "a.dbf", ari::test::StandardRows());
    const std::string before = Bytes(live + "a.dbf");
    window->LESource->setText(QString::fromStdString(dir / "missing"));
    Choose(true, false, true);
    EXPECT_FALSE(window->ReindexProccess());
    ExpectLog(
        {QString::fromStdString("\\\\\\Directory " + dir / "missing/" + " does not exists!")});
    EXPECT_EQ(Bytes(live + "a.dbf"), before);  // not packed
    EXPECT_EQ(window->CLBFile->count(), 0);
    EXPECT_FALSE(ari::FileExists(Marker()));
}

TEST_F(Run, ErrorAtTheThirdOfFiveTables) {
    const char* names[] = {"t1.dbf", "t2.dbf", "t3.dbf", "t4.dbf", "t5.dbf"};
    for (const char* t : names)
        ari::test::MakeTable(live + t, ari::test::StandardRows());
    const std::string third = Bytes(live + "t3.dbf");
    const std::string fourth = Bytes(live + "t4.dbf");

    HeldByChild holder(live, "t3.dbf");
    ASSERT_TRUE(holder.Holding());
    Choose(false, false, true);
    const bool result = window->ReindexProccess();
    holder.Release();

    EXPECT_FALSE(result);
    // The engine's message has several lines; the error line carries it unchanged.
    const QStringList log = Log();
    ASSERT_GE(log.size(), 4) << log.join(u'\n').toStdString();
    EXPECT_EQ(log[0], "---Packing t1.dbf ... ");
    EXPECT_EQ(log[1], "---Packing t2.dbf ... ");
    EXPECT_EQ(log[2], "---Packing t3.dbf ... ");
    const QString error = log.mid(3).join(u'\n');
    EXPECT_TRUE(
        QRegularExpression(QStringLiteral("^\\\\\\\\\\\\Error \"[^\"]+t3\\.dbf[^\"]*\" Time: ") +
                           kTime + u'$')
            .match(error)
            .hasMatch())
        << error.toStdString();
    EXPECT_EQ(error.count(QStringLiteral("\\\\\\Error ")), 1);
    EXPECT_EQ(window->ProgressBar1->value(), 2);
    EXPECT_EQ(Ticks(), (std::vector<bool>{true, true, false, false, false}));
    EXPECT_FALSE(window->Table2->Active());  // its exclusive open failed
    EXPECT_TRUE(window->Table2->Exclusive());
    for (const char* t : {"t1.dbf", "t2.dbf"})
        EXPECT_EQ(ari::test::RecordCount(live + t), 3u) << t;
    EXPECT_EQ(Bytes(live + "t3.dbf"), third);
    EXPECT_EQ(Bytes(live + "t4.dbf"), fourth);
    EXPECT_FALSE(ari::FileExists(Marker()));
}

TEST_F(Run, AFailedPackDoesNotKeepTheTableFromOthers) {
    ari::test::MakeTable(live + "a.dbf", ari::test::StandardRows());
    const std::string before = Bytes(live + "a.dbf");
    // Every write fails as on a full disk.
    ari::test::FailingEnv diskFull(ari::test::FailingEnv::kWrite, 1, ENOSPC,
                                   ari::test::FailingEnv::kFailFromNth);
    Choose(false, false, true);
    bool result = true;
    {
        const ari::test::InstalledEnv installed(&diskFull);
        result = window->ReindexProccess();
    }
    EXPECT_FALSE(result);
    EXPECT_EQ(Log().first(), "---Packing a.dbf ... ");
    EXPECT_TRUE(Log().at(1).startsWith(QStringLiteral("\\\\\\Error \"")));
    EXPECT_EQ(Bytes(live + "a.dbf"), before);
    EXPECT_FALSE(window->Table2->Active());
    // The legacy application can open it at once, and the next run, with another live folder,
    // goes on.
    TTable other("Other");
    other.SetDatabaseName(live);
    other.SetTableName("a.dbf");
    EXPECT_NO_THROW(other.Open());
    other.Close();
    const std::string live2 = dir / "live2/";
    fs::create_directory(live2);
    ari::test::MakeTable(live2 + "b.dbf", ari::test::StandardRows());
    window->LEMaghsad->setText(QString::fromStdString(live2));
    window->mLog->clear();
    EXPECT_TRUE(window->ReindexProccess());
    ExpectLog({"---Packing b.dbf ... ", "---Pack has successfully Time: <time>"});
}

// A write that fails with an error of no class the run knows.
class ForeignFailure final : public ari::EnvWrapper {
  public:
    ForeignFailure() : EnvWrapper(ari::Env::Default()) {}
    int64_t Write(ari::FileHandle, const void*, size_t) override {
        throw std::runtime_error("foreign");
    }
};

TEST_F(Run, AnErrorOfAnotherClassGoesToTheCallerAfterTheMarkerIsGone) {
    ari::test::MakeTable(live + "a.dbf", ari::test::StandardRows());
    ForeignFailure failure;
    Choose(false, false, true);
    {
        const ari::test::InstalledEnv installed(&failure);
        EXPECT_THROW(window->ReindexProccess(), std::runtime_error);
    }
    ExpectLog({"---Packing a.dbf ... "});  // no error line: the run did not handle it
    EXPECT_FALSE(ari::FileExists(Marker()));
    EXPECT_FALSE(window->RunInProgress());
    EXPECT_FALSE(window->Table2->Active());                 // not held for sole use after the run
    EXPECT_EQ(ari::test::RecordCount(live + "a.dbf"), 5u);  // nothing packed
    EXPECT_EQ(ari::test::ReadRows(live + "a.dbf"), Surviving(ari::test::StandardRows()));
}

// ---- the run on a thread of its own

// The writes to the files of one folder (the live tables, and the files the engine writes
// beside them), told apart from the program's own (the run's journal beside the program): the
// handles opened under the folder, and their duplicates, are watched.
class FolderWrites : public ari::EnvWrapper {
  public:
    explicit FolderWrites(std::string folder)
        : EnvWrapper(ari::Env::Default()), folder_(std::move(folder)) {}
    ari::FileHandle Open(const std::string& path, unsigned flags, unsigned permissions) override {
        const ari::FileHandle fd = EnvWrapper::Open(path, flags, permissions);
        Watch(fd, path.compare(0, folder_.size(), folder_) == 0);
        return fd;
    }
    ari::FileHandle Duplicate(ari::FileHandle fd) override {
        const ari::FileHandle copy = EnvWrapper::Duplicate(fd);
        Watch(copy, Watched(fd));
        return copy;
    }
    int Close(ari::FileHandle fd) override {
        Watch(fd, false);
        return EnvWrapper::Close(fd);
    }

  protected:
    bool Watched(ari::FileHandle fd) {
        const std::lock_guard<std::mutex> lock(watchMutex_);
        return watched_.count(fd) > 0;
    }

  private:
    void Watch(ari::FileHandle fd, bool watch) {
        if (fd < 0)
            return;
        const std::lock_guard<std::mutex> lock(watchMutex_);
        if (watch)
            watched_.insert(fd);
        else
            watched_.erase(fd);
    }
    std::string folder_;
    std::mutex watchMutex_;
    std::set<ari::FileHandle> watched_;
};

// Notes the threads that write table files and, at the first write of the pack pass, whether
// the window thread answers an event posted to it while that write is under way.
class WritingThreads final : public FolderWrites {
  public:
    WritingThreads(QObject* window, const std::string& live)
        : FolderWrites(live), window_(window) {}
    int64_t Write(ari::FileHandle fd, const void* data, size_t size) override {
        if (!Watched(fd))
            return EnvWrapper::Write(fd, data, size);
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            threads.insert(std::this_thread::get_id());
        }
        if (probeAtNextWrite.exchange(false)) {
            // The window thread is busy with the run if it does not answer within 5 s.
            std::atomic<bool> handled{false};
            QMetaObject::invokeMethod(
                window_, [&handled] { handled = true; }, Qt::QueuedConnection);
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (!handled && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            answered = handled.load();
            if (!answered)
                QCoreApplication::processEvents();  // lets the posted event go before it dangles
        }
        return EnvWrapper::Write(fd, data, size);
    }
    std::set<std::thread::id> threads;
    std::atomic<bool> probeAtNextWrite{false};
    bool answered = false;

  private:
    QObject* window_;
    std::mutex mutex_;
};

TEST_F(Run, ThePassRunsOffTheWindowThreadWhichAnswersMeanwhileAndTheLogIsUnchanged) {
    for (const char* t : {"a.dbf", "b.dbf"}) {
        ari::test::MakeTable(tmpl + t, {});
        AddTags(tmpl, t, {{"ID", "ID"}, {"NAME", "UPPER(NAME)"}});
        ari::test::MakeTable(live + t, ari::test::StandardRows());
    }
    WritingThreads writes(window.get(), live);
    auto installed = std::make_unique<ari::test::InstalledEnv>(&writes);
    // The pack pass gave the window no turn at all when the run worked on the window thread.
    QObject::connect(window.get(), &TfMain::RunPumped, window.get(), [&] {
        if (window->CLBFile->item(1)->checkState() == Qt::Checked)
            writes.probeAtNextWrite = true;
    });
    Choose(false, true, true);
    EXPECT_TRUE(window->ReindexProccess());
    installed.reset();

    ExpectLog({"------Add Index a.dbf ID", "------Add Index a.dbf NAME", "------Add Index b.dbf ID",
               "------Add Index b.dbf NAME", "---Packing a.dbf ... ", "---Packing b.dbf ... ",
               "---ReIndex has successfully Time: <time>",
               "---Pack has successfully Time: <time>"});
    EXPECT_FALSE(writes.threads.empty());
    EXPECT_EQ(writes.threads.count(std::this_thread::get_id()), 0u)
        << "table files were written on the window thread";
    EXPECT_TRUE(writes.answered) << "the window thread did not answer during the pack pass";
    EXPECT_EQ(Ticks(), (std::vector<bool>{true, true}));
    EXPECT_EQ(window->ProgressBar1->value(), 2);
    EXPECT_FALSE(window->RunInProgress());
    for (const char* t : {"a.dbf", "b.dbf"})
        EXPECT_EQ(ari::test::RecordCount(live + t), 3u) << t;
}

// At each write of a table file by the run, what the window shows once it has handled
// everything the run reported before that write: the check list's marked entry and the text of
// the progress bar.
bool HasDarkPixelsInside(const QPixmap& drawn) {
    const QImage image = drawn.toImage();
    for (int y = 3; y < image.height() - 3; ++y) {
        for (int x = 3; x < image.width() - 3; ++x) {
            if (qGray(image.pixel(x, y)) < 80)
                return true;
        }
    }
    return false;
}

class WindowAtEachWrite final : public FolderWrites {
  public:
    struct Shown {
        QString marked;             // the current, selected entry of the check list; "" for none
        QString barText;            // "" while the bar shows no text
        bool barTextInked = false;  // the bar, drawn, has dark pixels inside its frame
    };
    WindowAtEachWrite(TfMain* window, const std::string& live)
        : FolderWrites(live), window_(window) {}
    int64_t Write(ari::FileHandle fd, const void* data, size_t size) override {
        if (Watched(fd) && QThread::currentThread() != window_->thread()) {
            auto seen = std::make_shared<std::atomic<bool>>(false);
            QMetaObject::invokeMethod(
                window_,
                [this, seen] {
                    Shown now;
                    const QListWidgetItem* item = window_->CLBFile->currentItem();
                    if (item && item->isSelected())
                        now.marked = item->text();
                    if (window_->ProgressBar1->isTextVisible()) {
                        now.barText = window_->ProgressBar1->text();
                        now.barTextInked = HasDarkPixelsInside(window_->ProgressBar1->grab());
                    }
                    {
                        const std::lock_guard<std::mutex> lock(mutex_);
                        shown_.push_back(now);
                    }
                    *seen = true;
                },
                Qt::QueuedConnection);
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (!*seen && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return EnvWrapper::Write(fd, data, size);
    }
    std::vector<Shown> Taken() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return shown_;
    }

  private:
    TfMain* window_;
    std::mutex mutex_;
    std::vector<Shown> shown_;
};

TEST_F(Run, TheCheckListMarksTheTableWorkedOnAndTheBarShowsItsRecordsDone) {
    for (const char* t : {"a.dbf", "b.dbf"}) {
        ari::test::MakeTable(tmpl + t, {});
        AddTags(tmpl, t, {{"ID", "ID"}, {"NAME", "UPPER(NAME)"}});
        ari::test::MakeTable(live + t, ari::test::StandardRows());
    }
    WindowAtEachWrite writes(window.get(), live);
    {
        const ari::test::InstalledEnv installed(&writes);
        Choose(false, true, true);
        EXPECT_TRUE(window->ReindexProccess());
    }

    const std::vector<WindowAtEachWrite::Shown> shown = writes.Taken();
    ASSERT_FALSE(shown.empty());
    std::set<QString> barTexts;
    for (const auto& s : shown) {
        SCOPED_TRACE(s.marked.toStdString() + " | " + s.barText.toStdString());
        // Whenever the engine writes, the table it works on is marked; the bar's text names
        // that table and how many of its records are through.
        EXPECT_TRUE(s.marked == "a.dbf" || s.marked == "b.dbf");
        if (!s.barText.isEmpty()) {
            EXPECT_TRUE(s.barText.startsWith(s.marked + ": "));
            EXPECT_TRUE(s.barTextInked) << "the text is not seen on the bar";
            barTexts.insert(s.barText);
        }
    }
    // Each rebuild's index builds and each pack went through the table's 5 records; the pack's
    // index rebuild through the 3 it kept.
    for (const char* text : {"a.dbf: 5 / 5", "b.dbf: 5 / 5", "a.dbf: 3 / 3", "b.dbf: 3 / 3"})
        EXPECT_EQ(barTexts.count(QString::fromLatin1(text)), 1u) << text;

    // Afterwards no table is marked and the bar shows no text; the ticks and the bar's count
    // of tables are as ever.
    EXPECT_EQ(window->CLBFile->currentItem(), nullptr);
    EXPECT_TRUE(window->CLBFile->selectedItems().isEmpty());
    EXPECT_FALSE(window->ProgressBar1->isTextVisible());
    EXPECT_EQ(Ticks(), (std::vector<bool>{true, true}));
    EXPECT_EQ(window->ProgressBar1->value(), 2);
    ExpectLog({"------Add Index a.dbf ID", "------Add Index a.dbf NAME", "------Add Index b.dbf ID",
               "------Add Index b.dbf NAME", "---Packing a.dbf ... ", "---Packing b.dbf ... ",
               "---ReIndex has successfully Time: <time>",
               "---Pack has successfully Time: <time>"});
}

// Between a large table's passes over its records, the bar names the step that takes the time:
// the sort of a tag's keys, the writing of its keys into the index, each with its keys done.
TEST_F(Run, TheBarNamesTheSortAndTheIndexWriteOfALargeTable) {
    constexpr int kRecords = 40000;
    std::vector<ari::test::FixtureRow> rows;
    for (int i = 0; i < kRecords; ++i)
        rows.push_back({std::to_string(i % 99999), "N" + std::to_string(kRecords - i), "", false});
    ari::test::MakeTable(tmpl + "BIG.DBF", {});
    AddTags(tmpl, "BIG.DBF", {{"ID", "ID"}});
    ari::test::MakeTable(live + "BIG.DBF", rows);
    // The bar as the window shows it whenever the engine writes in the live folder: with a
    // small sort budget, the sort writes sorted runs beside the table while it reads the records
    // and while it sorts its last keys, and the index is written while its keys are.
    const size_t budget = ari::engine::IndexSortMemoryBudget();
    ari::engine::SetIndexSortMemoryBudget(64 << 10);
    WindowAtEachWrite writes(window.get(), live);
    {
        const ari::test::InstalledEnv installed(&writes);
        Choose(false, true, false);
        EXPECT_TRUE(window->ReindexProccess());
    }
    ari::engine::SetIndexSortMemoryBudget(budget);
    QStringList texts;
    for (const auto& shown : writes.Taken())
        if (!shown.barText.isEmpty())
            texts << shown.barText;
    const QRegularExpression shape(QStringLiteral(
        "^BIG\\.DBF: (\\d+) / (\\d+)( — (مرتب سازی کلیدها|نوشتن کلیدها در ایندکس))?$"));
    QStringList steps;
    for (const QString& t : texts) {
        const QRegularExpressionMatch m = shape.match(t);
        ASSERT_TRUE(m.hasMatch()) << t.toStdString();
        EXPECT_EQ(m.captured(2).toInt(), kRecords) << t.toStdString();
        if (steps.isEmpty() || steps.back() != m.captured(4))
            steps << m.captured(4);
    }
    // The records, then the sort, then the write, in that order.
    EXPECT_EQ(steps, (QStringList{QString(), QStringLiteral("مرتب سازی کلیدها"),
                                  QStringLiteral("نوشتن کلیدها در ایندکس")}))
        << texts.join(u'\n').toStdString();
    EXPECT_FALSE(window->ProgressBar1->isTextVisible());
}

TEST_F(Run, ClosingTheProgramDuringARunLetsTheRunFinish) {
    // The application quits while the run waits for the window's turn (the window itself is not
    // closed, see ClosingDuringARun below): the window thread must
    // go on giving the run its turns instead of waiting for a run that waits for it.
    for (const char* t : {"a.dbf", "b.dbf"}) {
        ari::test::MakeTable(tmpl + t, {});
        ari::test::MakeTable(live + t, ari::test::StandardRows());
    }
    DuringRun([] { QCoreApplication::exit(0); });
    Choose(true, false, true);
    EXPECT_TRUE(window->ReindexProccess());
    ExpectLog({"---Copy Index a.dbf", "---Copy Index b.dbf", "---Packing a.dbf ... ",
               "---Packing b.dbf ... ", "---ReIndex has successfully Time: <time>",
               "---Pack has successfully Time: <time>"});
    EXPECT_FALSE(ari::FileExists(Marker()));
}

// Closing the window during a run ends the program: the run stops between two tables, the
// table in progress finished and the rest untouched, the stop logged and journalled, the
// marker gone, the window closed and the application's event loop over.
class ClosingDuringARun : public Run {
  protected:
    // The files of `tables` in the live folder, each with its bytes.
    std::map<std::string, std::string> LiveFilesOf(const std::vector<std::string>& tables) {
        std::map<std::string, std::string> out;
        for (const std::string& name : FileNamesIn(live))
            for (const std::string& t : tables)
                if (name.compare(0, t.size(), t) == 0)
                    out[name] = Bytes(live + name);
        return out;
    }
    // Runs the pass from inside the application's event loop, as the schedule tick does, and
    // returns whether that loop ended (a loop still running after 60 s is ended by force).
    bool RunInTheEventLoop(bool& result) {
        window->show();
        bool ended = true;
        QTimer::singleShot(0, window.get(), [&] { result = window->ReindexProccess(); });
        QTimer watchdog;
        watchdog.setSingleShot(true);
        QObject::connect(&watchdog, &QTimer::timeout, [&] {
            ended = false;
            QCoreApplication::exit(1);
        });
        watchdog.start(60000);
        QCoreApplication::exec();
        return ended;
    }
    std::string Journal() const { return Bytes(bin + "autoreindex.log"); }
};

TEST_F(ClosingDuringARun, AtTheTurnAfterTheFirstTableOfTheIndexPass) {
    for (const char* t : {"a.dbf", "b.dbf", "c.dbf"}) {
        ari::test::MakeTable(tmpl + t, {});
        AddTags(tmpl, t, {{"ID", "ID"}});
        ari::test::MakeTable(live + t, ari::test::StandardRows());
        AddTags(live, t, {{"OLD", "NAME"}});
    }
    const auto untouched = LiveFilesOf({"b.", "c."});
    ASSERT_FALSE(untouched.empty());
    // The window's first turn inside the run comes after the first table.
    bool closed = false;
    QObject::connect(window.get(), &TfMain::RunPumped, window.get(), [&] {
        if (!std::exchange(closed, true))
            window->close();
    });
    Choose(true, false, true);
    bool result = true;
    EXPECT_TRUE(RunInTheEventLoop(result)) << "the event loop went on after the window closed";
    EXPECT_FALSE(result);
    EXPECT_FALSE(window->isVisible());
    ExpectLog({"---Copy Index a.dbf", "\\\\\\Stopped on request after table a.dbf Time: <time>"});
    EXPECT_EQ(Tags(live, "a.dbf"), Tags(tmpl, "a.dbf"));
    EXPECT_EQ(DbtoolCheck(live + "a.dbf"), 0);
    EXPECT_EQ(LiveFilesOf({"b.", "c."}), untouched);  // no table after the stop, no pack
    EXPECT_FALSE(ari::FileExists(Marker()));
    EXPECT_NE(Journal().find("Stopped on request after table a.dbf"), std::string::npos)
        << Journal();
    EXPECT_EQ(Ticks(), (std::vector<bool>{true, false, false}));
}

// The engine writes the middle table when the window is closed: that table is packed to its
// end, and the run stops before the next.
class CloseDuringTable final : public FolderWrites {
  public:
    CloseDuringTable(TfMain* window, const std::string& live, QString table)
        : FolderWrites(live), window_(window), table_(std::move(table)) {}
    int64_t Write(ari::FileHandle fd, const void* data, size_t size) override {
        if (Watched(fd) && !closed && QThread::currentThread() != window_->thread()) {
            // What the run reported before this write has reached the window by the time the
            // window handles this call.
            QMetaObject::invokeMethod(
                window_,
                [this] {
                    const QListWidgetItem* item = window_->CLBFile->currentItem();
                    if (item && item->text() == table_ && window_->ProgressBar1->isTextVisible()) {
                        window_->close();
                        closed = true;
                    }
                },
                Qt::BlockingQueuedConnection);
        }
        return EnvWrapper::Write(fd, data, size);
    }
    std::atomic<bool> closed{false};

  private:
    TfMain* window_;
    QString table_;
};

TEST_F(ClosingDuringARun, WhileAPackIsWritingItsTable) {
    for (const char* t : {"a.dbf", "b.dbf", "c.dbf"}) {
        ari::test::MakeTable(live + t, ari::test::StandardRows());
        AddTags(live, t, {{"NAME", "UPPER(NAME)"}});
    }
    const auto untouched = LiveFilesOf({"c."});
    const std::vector<std::string> names = FileNamesIn(live);
    CloseDuringTable closing(window.get(), live, QStringLiteral("b.dbf"));
    Choose(false, false, true);
    bool result = true;
    bool ended = false;
    {
        const ari::test::InstalledEnv installed(&closing);
        ended = RunInTheEventLoop(result);
    }
    ASSERT_TRUE(closing.closed) << "the window was not closed while b.dbf was written";
    EXPECT_TRUE(ended) << "the event loop went on after the window closed";
    EXPECT_FALSE(result);
    EXPECT_FALSE(window->isVisible());
    ExpectLog({"---Packing a.dbf ... ", "---Packing b.dbf ... ",
               "\\\\\\Stopped on request after table b.dbf Time: <time>"});
    for (const char* t : {"a.dbf", "b.dbf"}) {
        SCOPED_TRACE(t);
        EXPECT_EQ(ari::test::ReadRows(live + t), Surviving(ari::test::StandardRows()));
        EXPECT_EQ(ari::test::RecordCount(live + t), 3u);
        EXPECT_EQ(DbtoolCheck(live + t), 0);
    }
    EXPECT_EQ(LiveFilesOf({"c."}), untouched);
    EXPECT_EQ(FileNamesIn(live), names) << "a file was left beside the tables";
    EXPECT_FALSE(ari::FileExists(Marker()));
    EXPECT_NE(Journal().find("Stopped on request after table b.dbf"), std::string::npos)
        << Journal();
}

// ---- the rebuild's result on disk

TEST_F(Run, RebuildGivesTheTemplatesTagsAndCheckedTables) {
    const std::vector<std::pair<std::string, std::string>> tags = {
        {"ID", "ID"}, {"BYNAME", "UPPER(NAME)"}, {"IDNAME", "STR(ID,5)+NAME"}};
    ari::test::MakeTable(tmpl + "ORDERS.DBF", {});
    AddTags(tmpl, "ORDERS.DBF", tags);
    ari::test::MakeTable(tmpl + "plain.dbf", {});
    AddTags(tmpl, "plain.dbf", {{"NAME", "NAME"}});
    // Live: other spellings, a stale index with other tags, the template header's bytes.
    ari::test::MakeTable(live + "orders.dbf", ari::test::StandardRows(), 0, 0x57);
    AddTags(live, "orders.dbf", {{"STALE", "NAME"}});
    ari::test::MakeTable(live + "plain.dbf", ari::test::StandardRows());
    ASSERT_EQ(FileNamesIn(live), (std::vector<std::string>{"orders.dbf", "orders.dbt", "orders.mdx",
                                                           "plain.dbf", "plain.dbt"}));
    fs::rename(live + "orders.mdx", live + "ORDERS.MDX");
    const std::string before = Bytes(live + "orders.dbf");

    Choose(true, true, false);
    EXPECT_TRUE(window->ReindexProccess());
    ExpectLog({"---Copy Index ORDERS.DBF", "------Add Index ORDERS.DBF ID",
               "------Add Index ORDERS.DBF BYNAME", "------Add Index ORDERS.DBF IDNAME",
               "---Copy Index plain.dbf", "------Add Index plain.dbf NAME",
               "---ReIndex has successfully Time: <time>"});
    // One index file per table; the rebuilt one found by the legacy spelling's rules.
    const auto names = FileNamesIn(live);
    EXPECT_EQ(
        std::count_if(names.begin(), names.end(),
                      [](const std::string& n) { return ari::EqualsNoCase(n, "orders.mdx"); }),
        1);
    EXPECT_EQ(Tags(live, "orders.dbf"), tags);
    EXPECT_EQ(Tags(live, "plain.dbf"),
              (std::vector<std::pair<std::string, std::string>>{{"NAME", "NAME"}}));
    for (const char* t : {"orders.dbf", "plain.dbf"})
        EXPECT_EQ(DbtoolCheck(live + t), 0) << t;
    EXPECT_EQ(ari::test::ReadRows(live + "orders.dbf"), Surviving(ari::test::StandardRows()));

    const std::string after = Bytes(live + "orders.dbf");
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(after[28], 1);  // the engine's production index flag, set again by AddIndex
    EXPECT_EQ(after[29], 0);  // the language driver stays cleared
    for (size_t i = 0; i < 32; ++i) {
        if (i != 28 && i != 29) {
            EXPECT_EQ(after[i], before[i]) << "header byte " << i;
        }
    }
    EXPECT_EQ(after.substr(32), before.substr(32));
    EXPECT_EQ(window->Memo1->toPlainText(), "NAME");  // the last table's definitions
    EXPECT_EQ(window->Memo2->toPlainText(), "NAME");
}

TEST_F(Run, RebuildOfAMissingLiveTableTouchesNothingOfItsName) {
    ari::test::MakeTable(tmpl + "gone.dbf", {});
    AddTags(tmpl, "gone.dbf", {{"NAME", "NAME"}});
    ari::test::WriteFileBytes(live + "gone.mdx", "an index file of a table that is not there");
    Choose(false, true, false);
    EXPECT_FALSE(window->ReindexProccess());
    // The platform's message names no file: the error line adds the table after its text.
    ExpectLog({QString::fromStdString("\\\\\\Error \"The specified file was not found: " + live +
                                      "gone.dbf\" Time: <time>")});
    EXPECT_EQ(Bytes(live + "gone.mdx"), "an index file of a table that is not there");
}

TEST_F(Run, RebuildLeavesATableInUseAsItWas) {
    ari::test::MakeTable(tmpl + "a.dbf", {});
    AddTags(tmpl, "a.dbf", {{"ID", "ID"}});
    ari::test::MakeTable(live + "a.dbf", ari::test::StandardRows(), 0, 0x57);
    AddTags(live, "a.dbf", {{"NAME", "NAME"}});
    const std::string table = Bytes(live + "a.dbf");
    const std::string index = Bytes(live + "a.mdx");
    for (const char* holder : {"another process has it open", "a dBASE client locks a record"}) {
        SCOPED_TRACE(holder);
        window->mLog->clear();
        std::unique_ptr<HeldByChild> process;
        std::unique_ptr<ari::test::ForeignLock> record;
        if (std::string(holder).find("process") != std::string::npos) {
            process = std::make_unique<HeldByChild>(live, "a.dbf");
            ASSERT_TRUE(process->Holding());
        } else {
            record =
                std::make_unique<ari::test::ForeignLock>(live + "a.dbf", 'w', 0xEFFFFFFEull - 3, 1);
        }
        Choose(true, true, false);
        EXPECT_FALSE(window->ReindexProccess());
        ExpectLog({"---Copy Index a.dbf", QString::fromStdString("\\\\\\Error \"I/O error 32 - " +
                                                                 live + "a.dbf\" Time: <time>")});
        EXPECT_EQ(Bytes(live + "a.dbf"), table);  // header bytes 28 and 29 kept
        EXPECT_EQ(Bytes(live + "a.mdx"), index);  // neither replaced nor deleted
    }
}

// ---- the marker file

TEST_F(Run, MarkerExistsEmptyDuringTheRunOnly) {
    ari::test::MakeTable(tmpl + "a.dbf", {});
    ari::test::MakeTable(live + "a.dbf", ari::test::StandardRows());
    ari::test::WriteFileBytes(Marker(), "left behind by an interrupted run");
    bool seen = false;
    uintmax_t sizeDuring = 99;
    DuringRun([&] {
        seen = ari::FileExists(Marker());
        if (seen)
            sizeDuring = fs::file_size(Marker());
    });
    Choose(true, false, true);
    EXPECT_TRUE(window->ReindexProccess());
    EXPECT_TRUE(seen);
    EXPECT_EQ(sizeDuring, 0u);
    EXPECT_FALSE(ari::FileExists(Marker()));
}

TEST_F(Run, NoOperationChosenLogsNothingAndDeletesAStaleMarker) {
    ari::test::WriteFileBytes(Marker(), "stale");
    window->CLBFile->addItem(QStringLiteral("old entry"));
    window->setWindowTitle(QStringLiteral("Auto ReIndex Database"));
    EXPECT_TRUE(window->ReindexProccess());
    EXPECT_TRUE(Log().isEmpty());
    EXPECT_EQ(window->CLBFile->count(), 0);
    EXPECT_TRUE(window->windowTitle().isEmpty());
    EXPECT_FALSE(ari::FileExists(Marker()));
}

TEST_F(Run, MarkerThatCannotBeCreatedGoesToTheCaller) {
    fs::create_directory(Marker());  // a folder of that name
    Choose(false, false, true);
    try {
        window->ReindexProccess();
        FAIL() << "no error";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.Message(), "File access denied");
    }
    EXPECT_TRUE(Log().isEmpty());
    EXPECT_TRUE(fs::is_directory(Marker()));
    EXPECT_FALSE(window->RunInProgress());
}

// ---- sound behaviour where the texts would reach the wrong folder or a second run

TEST_F(Run, EmptyFolderTextTouchesNoTable) {
    struct Case {
        bool copy, reindex, pack;
        bool templateEmpty, liveEmpty;
        const char* line;
    };
    const Case cases[] = {
        {false, true, false, true, false,
         "\\\\\\Directory of the template tables (LESource) is empty!"},
        {true, false, true, false, true,
         "\\\\\\Directory of the live tables (LEMaghsad) is empty!"},
        {false, false, true, false, true,
         "\\\\\\Directory of the live tables (LEMaghsad) is empty!"},
    };
    ari::test::MakeTable(tmpl + "a.dbf", {});
    ari::test::MakeTable(live + "a.dbf", ari::test::StandardRows());
    // An empty text must not fall back to the current folder or the root either.
    ari::SetCurrentFolder(live);
    const std::string before = Bytes(live + "a.dbf");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        window->mLog->clear();
        window->LESource->setText(c.templateEmpty ? QString() : QString::fromStdString(tmpl));
        window->LEMaghsad->setText(c.liveEmpty ? QString() : QString::fromStdString(live));
        Choose(c.copy, c.reindex, c.pack);
        EXPECT_FALSE(window->ReindexProccess());
        ExpectLog({QString::fromUtf8(c.line)});
        EXPECT_EQ(Bytes(live + "a.dbf"), before);
        EXPECT_FALSE(ari::FileExists(Marker()));
    }
}

TEST_F(Run, RelativeFolderTextsNameTheFoldersOfTheRunsStart) {
    ari::test::MakeTable(tmpl + "a.dbf", ari::test::StandardRows());
    AddTags(tmpl, "a.dbf", {{"ID", "ID"}});
    ari::test::MakeTable(live + "a.dbf", ari::test::StandardRows());
    const std::string templateBefore = Bytes(tmpl + "a.dbf");
    // The index pass lists the template folder, which makes it the current folder; the pack
    // pass must still find the live tables where the text named them.
    ari::SetCurrentFolder(dir.Path());
    window->LESource->setText(QStringLiteral("mdx"));
    window->LEMaghsad->setText(QStringLiteral("./live"));
    Choose(false, true, true);
    EXPECT_TRUE(window->ReindexProccess());
    EXPECT_EQ(ari::test::ReadRows(live + "a.dbf"), Surviving(ari::test::StandardRows()));
    EXPECT_EQ(ari::test::RecordCount(live + "a.dbf"), 3u);
    EXPECT_EQ(Tags(live, "a.dbf"), Tags(tmpl, "a.dbf"));
    EXPECT_EQ(Bytes(tmpl + "a.dbf"), templateBefore);
}

TEST_F(Run, AFolderWithoutTablesLeavesTheBarEmpty) {
    Choose(false, false, true);
    EXPECT_TRUE(window->ReindexProccess());
    // A range of 0 to 0 would be Qt's busy animation.
    EXPECT_EQ(window->ProgressBar1->minimum(), 0);
    EXPECT_GT(window->ProgressBar1->maximum(), 0);
    EXPECT_EQ(window->ProgressBar1->value(), 0);
}

TEST_F(Run, ASecondRunCannotStartInsideARun) {
    for (const char* t : {"a.dbf", "b.dbf"}) {
        ari::test::MakeTable(tmpl + t, {});
        ari::test::MakeTable(live + t, ari::test::StandardRows());
    }
    bool nested = true;
    QStringList logInside;
    int entriesInside = -1;
    DuringRun([&] {
        logInside = Log();
        nested = window->ReindexProccess();
        entriesInside = window->CLBFile->count();
        EXPECT_TRUE(window->RunInProgress());
        EXPECT_EQ(Log(), logInside);  // the nested call wrote nothing
    });
    Choose(true, false, false);
    EXPECT_TRUE(window->ReindexProccess());
    EXPECT_FALSE(nested);
    EXPECT_EQ(entriesInside, 2);
    EXPECT_FALSE(window->RunInProgress());
    ExpectLog(
        {"---Copy Index a.dbf", "---Copy Index b.dbf", "---ReIndex has successfully Time: <time>"});
}

}  // namespace
