// window_latency_bench: drives the real main window offscreen and measures how long the window
// thread keeps an event waiting while it works. A thread of its own posts a probe event to the
// window every 20 ms; the window thread notes how long each one waited in its queue.
//
//   window_latency_bench [--records N] [--folder DIR] [--keep]
//   (the files go into a new folder inside DIR, or inside the temporary folder: the only
//   folder the bench removes is the one it made)
//
// Cases, one line each, "longest wait during CASE: N ms":
//   session tick   a session tick whose listing tool takes 2.5 s to print its listing
//   pass           a run with rebuild and pack over a table of N records (2,000,000 unless
//                  --records says otherwise) whose template has three tags
#include <sys/stat.h>

#include <QApplication>
#include <QTimer>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/uMain.h"
#include "engine/TTable.h"
#include "engine/table/DbfFile.h"
#include "platform/Dialogs.h"
#include "platform/Environment.h"

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

// Posts a probe to `target` every 20 ms from its own thread; the window thread records the
// longest time a probe waited between its posting and its handling.
class Prober {
  public:
    explicit Prober(QObject* target) : target_(target) {
        thread_ = std::thread([this] {
            while (!stop_) {
                const Clock::time_point posted = Clock::now();
                QMetaObject::invokeMethod(
                    target_,
                    [this, posted] {
                        const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                                                Clock::now() - posted)
                                                .count();
                        if (waited > longest_)
                            longest_ = waited;
                    },
                    Qt::QueuedConnection);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
    }
    // Stops posting and returns the longest wait, after the probes still queued are handled.
    long long Finish() {
        stop_ = true;
        thread_.join();
        QCoreApplication::processEvents();
        return longest_;
    }

  private:
    QObject* target_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    long long longest_ = 0;  // window thread only
};

void MakeLiveTable(const std::string& path, uint64_t records) {
    ari::engine::DbfWriter w(path, {{"NAME", 'C', 40, 0, 0}, {"AMOUNT", 'N', 12, 2, 0}});
    std::mt19937_64 rng(12345);
    std::vector<uint8_t> rec(w.RecordLength(), ' ');
    char amount[16];
    for (uint64_t i = 0; i < records; ++i) {
        std::memset(rec.data(), ' ', rec.size());
        rec[0] = (i % 20 == 7) ? '*' : ' ';  // 5% deleted, for the pack
        const std::string name = "name " + std::to_string(rng() % 1000000);
        std::memcpy(rec.data() + 1, name.data(), name.size());
        const long cents = static_cast<long>(rng() % 20000001) - 10000000;
        std::snprintf(amount, sizeof amount, "%12.2f", cents / 100.0);
        std::memcpy(rec.data() + 41, amount, 12);
        w.AppendRaw(rec.data());
    }
    w.Finish();
}

void MakeTemplateTable(const std::string& folder) {
    {
        ari::engine::DbfWriter w(folder + "BENCH.DBF",
                                 {{"NAME", 'C', 40, 0, 0}, {"AMOUNT", 'N', 12, 2, 0}});
        w.Finish();
    }
    TTable t("Template");
    t.SetDatabaseName(folder);
    t.SetTableName("BENCH.DBF");
    t.AddIndex("NAME", "NAME", ixExpression);
    t.AddIndex("UNAME", "UPPER(NAME)", ixExpression);
    t.AddIndex("AMOUNT", "AMOUNT", ixExpression);
}

// The real starter, with the listing tool replaced by the slow one (a program beside the
// executable would be found before anything on the path).
class SlowListing final : public ari::ProcessStarter {
  public:
    explicit SlowListing(std::string quser) : quser_(std::move(quser)) {}
    bool Start(const std::string& file, const std::string& parameters) override {
        return real_->Start(file, parameters);
    }
    std::unique_ptr<ari::ProgramOutput> StartReadingOutput(const std::string& file,
                                                           const std::string& parameters) override {
        return real_->StartReadingOutput(file == "quser" ? quser_ : file, parameters);
    }

  private:
    std::string quser_;
    ari::ProcessStarter* real_ = ari::DefaultEnvironment().starter;
};

void WriteScript(const std::string& path, const std::string& body) {
    std::ofstream(path) << "#!/bin/sh\n" << body;
    chmod(path.c_str(), 0755);
}

constexpr const char kUsage[] =
    "usage: window_latency_bench [--records N] [--folder DIR] [--keep]\n";

constexpr const char kHelp[] =
    "usage: window_latency_bench [--records N] [--folder DIR] [--keep]\n"
    "\n"
    "Drives the real main window offscreen and measures how long its thread keeps an event\n"
    "waiting while it works: a thread of its own posts a probe to the window every 20 ms and\n"
    "the window notes how long each one waited in its queue.\n"
    "\n"
    "  --records N   records of the table the pass works on (default 2000000)\n"
    "  --folder DIR  make the bench's own folder inside DIR (default: the temporary folder);\n"
    "                only that folder is ever removed\n"
    "  --keep        keep the bench's folder afterwards\n"
    "  --help, -h    this text\n"
    "\n"
    "Figures, one case a line, \"longest wait during CASE: N ms\":\n"
    "  session tick  a session tick whose listing tool takes 2.5 s to print; a wait near\n"
    "                2500 ms means the window's thread waited for the tool\n"
    "  pass          a run with index rebuild and pack over one table of N records whose\n"
    "                template has three tags\n"
    "The longest wait is how long the window stayed unanswered at worst: what a user clicking\n"
    "it would feel. Lines before each figure give the case's own time and result.\n";

}  // namespace

int main(int argc, char** argv) {
    uint64_t records = 2000000;
    std::string folder;
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--records") && i + 1 < argc)
            records = std::strtoull(argv[++i], nullptr, 10);
        else if (!std::strcmp(argv[i], "--folder") && i + 1 < argc)
            folder = argv[++i];
        else if (!std::strcmp(argv[i], "--keep"))
            keep = true;
        else if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            std::fputs(kHelp, stdout);
            return 0;
        } else {
            std::fprintf(stderr, "window_latency_bench: unknown or incomplete argument %s\n%s",
                         argv[i], kUsage);
            return 2;
        }
    }
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // The bench works in a folder it makes itself, inside DIR or the temporary folder, and
    // removes only that: whatever else DIR holds is never touched.
    const std::string inside = folder.empty() ? fs::temp_directory_path().string() : folder;
    std::string made = inside + "/window_latency_bench-XXXXXX";
    if (!mkdtemp(made.data())) {
        std::fprintf(stderr, "window_latency_bench: cannot make a folder in %s: %s\n",
                     inside.c_str(), std::strerror(errno));
        return 2;
    }
    folder = made + "/";
    const std::string bin = folder + "bin/", tmpl = folder + "mdx/", live = folder + "live/",
                      tools = folder + "tools/";
    for (const std::string& d : {bin, tmpl, live, tools})
        fs::create_directories(d);

    QApplication app(argc, argv);
    ari::Dialogs().showMessage = [](const std::string& t) { std::printf("box: %s\n", t.c_str()); };
    ari::Dialogs().showError = [](const std::string& t) { std::printf("error: %s\n", t.c_str()); };

    // A listing tool that takes 2.5 s.
    WriteScript(
        tools + "quser",
        "sleep 2.5\n"
        "echo ' USERNAME              SESSIONNAME        ID  STATE   IDLE TIME  LOGON TIME'\n"
        "echo '>operator              console             1  Active      .  10/12/2026 07:00'\n");
    SlowListing starter(tools + "quser");

    std::printf("preparing a table of %llu records ...\n",
                static_cast<unsigned long long>(records));
    std::fflush(stdout);
    MakeTemplateTable(tmpl);
    MakeLiveTable(live + "BENCH.DBF", records);

    ari::Environment env = ari::DefaultEnvironment();
    env.executablePath = bin + "autoreindex";
    env.starter = &starter;
    TfMain window(env);
    window.show();
    QCoreApplication::processEvents();
    window.tCheckUser->SetEnabled(false);  // the cases below start the ticks themselves

    {
        const Clock::time_point start = Clock::now();
        Prober prober(&window);
        window.tCheckUser->Fire();
        const long long longest = prober.Finish();
        std::printf("session tick took %.2f s, %d counted session(s)\n",
                    std::chrono::duration<double>(Clock::now() - start).count(),
                    window.lstUsers->count());
        std::printf("longest wait during session tick: %lld ms\n", longest);
        std::fflush(stdout);
        window.tCheckUser->SetEnabled(false);
    }
    {
        window.LESource->setText(QString::fromStdString(tmpl));
        window.LEMaghsad->setText(QString::fromStdString(live));
        window.CBReIndex->setChecked(true);
        window.CBPack->setChecked(true);
        const Clock::time_point start = Clock::now();
        Prober prober(&window);
        bool ok = false;
        try {
            ok = window.ReindexProccess();
        } catch (const std::exception& e) {
            std::printf("run error: %s\n", e.what());
        }
        const long long longest = prober.Finish();
        std::printf("pass took %.2f s, result %s\n",
                    std::chrono::duration<double>(Clock::now() - start).count(),
                    ok ? "true" : "false");
        std::printf("longest wait during pass: %lld ms\n", longest);
    }
    if (keep)
        std::printf("files kept in %s\n", made.c_str());
    else
        fs::remove_all(made);
    return 0;
}
