// pack_bench: packs a table of 1,000,000 records (every tenth deleted) and, in the same run,
// copies the same file with a flush, as the pack flushes; prints both times, their ratio and
// the peak memory. A first, smaller table shows whether memory grows with the table size.
// Usage: pack_bench [FOLDER] [RECORDS]   (default: /tmp, 1000000); the files go into a new
// folder inside FOLDER, the only folder the bench removes.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/DbfFile.h"
#include "engine/TTable.h"
#include "platform/FileAccess.h"

using namespace ari::engine;
using Clock = std::chrono::steady_clock;

namespace {

long PeakKb() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

void MakeTable(const std::string& path, uint32_t records) {
    DbfWriter w(path, {{"ID", 'N', 10, 0, 0},
                       {"NAME", 'C', 40, 0, 0},
                       {"CITY", 'C', 30, 0, 0},
                       {"AMOUNT", 'N', 12, 2, 0},
                       {"DT", 'D', 8, 0, 0}});
    char amount[32], date[16];
    for (uint32_t i = 1; i <= records; ++i) {
        std::snprintf(amount, sizeof amount, "%.2f", (i % 100000) * 1.25);
        std::snprintf(date, sizeof date, "%04u%02u%02u", 1990 + i % 30, 1 + i % 12, 1 + i % 28);
        w.Append({std::to_string(i), "Customer " + std::to_string(i),
                  "City " + std::to_string(i % 977), amount, date},
                 i % 10 == 0);
    }
    w.Finish();
}

// The baseline: read and write the whole file in large blocks, then fsync, as a copy tool does.
double CopySeconds(const std::string& from, const std::string& to) {
    const auto start = Clock::now();
    const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (in < 0 || out < 0)
        std::exit(2);
    std::vector<char> buf(size_t{4} << 20);
    for (ssize_t n; (n = read(in, buf.data(), buf.size())) > 0;)
        if (write(out, buf.data(), static_cast<size_t>(n)) != n)
            std::exit(2);
    fsync(out);
    close(in);
    close(out);
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double PackSeconds(const std::string& folder, const std::string& name) {
    const auto start = Clock::now();
    TTable t("Bench");
    t.SetDatabaseName(folder);
    t.SetTableName(name);
    t.SetExclusive(true);
    t.Open();
    Check(EnginePack(t.DBHandle(), t.Handle(), nullptr, "DBASE", -1));
    t.Close();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Figures {
    double copy = 1e9, pack = 1e9;
    uint64_t bytes = 0;
};

Figures Measure(const std::string& folder, uint32_t records, int rounds) {
    const std::string original = folder + "ORIGINAL.DBF";
    std::filesystem::remove(original);
    MakeTable(original, records);
    Figures f;
    f.bytes = std::filesystem::file_size(original);
    for (int r = 0; r < rounds; ++r) {
        std::filesystem::remove(folder + "WORK.DBF");
        f.copy = std::min(f.copy, CopySeconds(original, folder + "WORK.DBF"));
        f.pack = std::min(f.pack, PackSeconds(folder, "WORK.DBF"));
    }
    std::filesystem::remove(original);
    std::filesystem::remove(folder + "WORK.DBF");
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    ari::IgnoreFileSizeSignal();  // a write past the size limit fails, and is reported
    // The bench works in a folder it makes itself, inside FOLDER or /tmp, and removes only that:
    // whatever else FOLDER holds is never touched.
    std::string made = std::string(argc > 1 ? argv[1] : "/tmp") + "/pack_bench-XXXXXX";
    if (!mkdtemp(made.data())) {
        std::perror("pack_bench: cannot make its folder");
        return 2;
    }
    const std::string folder = made + "/";
    const uint32_t records =
        argc > 2 ? static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)) : 1000000;
    const int rounds = 3;
    try {
        const Figures small = Measure(folder, records / 5, rounds);
        const long peakSmall = PeakKb();
        const Figures big = Measure(folder, records, rounds);
        const long peakBig = PeakKb();
        std::printf("table: %u records (every tenth deleted), %.1f MB; best of %d rounds\n",
                    records, big.bytes / 1e6, rounds);
        std::printf("copy with fsync:   %8.3f s\n", big.copy);
        std::printf("pack:              %8.3f s\n", big.pack);
        std::printf("pack / copy ratio: %8.2f  (target <= 1.50)\n", big.pack / big.copy);
        std::printf("smaller table: %u records: copy %.3f s, pack %.3f s, ratio %.2f\n",
                    records / 5, small.copy, small.pack, small.pack / small.copy);
        std::printf(
            "peak memory: %ld KB after the %u-record table, %ld KB after the %u-record table\n",
            peakSmall, records / 5, peakBig, records);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pack_bench: %s\n", e.what());
        std::filesystem::remove_all(made);
        return 1;
    }
    std::filesystem::remove_all(made);
    return 0;
}
