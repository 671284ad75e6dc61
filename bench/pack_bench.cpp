// pack_bench: packs a table of 1,000,000 records (every tenth deleted) and, in the same run,
// copies the same file with a flush, as the pack flushes; prints both times, their ratio and
// the peak memory. A first, smaller table shows whether memory grows with the table size.
// Usage: pack_bench [FOLDER] [RECORDS]   (default: /tmp, 1000000); --help. The files go into a
// new folder inside FOLDER, the only folder the bench removes.
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

#include "engine/TTable.h"
#include "engine/table/DbfFile.h"
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

namespace {

int Usage(std::FILE* out, int code) {
    std::fprintf(
        out,
        "usage: pack_bench [FOLDER] [RECORDS]\n"
        "  packs a table of RECORDS records (default 1000000, every tenth deleted) in\n"
        "  a new folder it makes inside FOLDER (default /tmp) and removes afterwards, and\n"
        "  compares the time with a flushed copy of the same file\n");
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h")
            return Usage(stdout, 0);
        if (a.size() > 1 && a[0] == '-') {
            std::fprintf(stderr, "pack_bench: unknown option %s\n", a.c_str());
            return Usage(stderr, 2);
        }
        args.push_back(a);
    }
    if (args.size() > 2) {
        std::fprintf(stderr, "pack_bench: unexpected argument %s\n", args[2].c_str());
        return Usage(stderr, 2);
    }
    uint32_t records = 1000000;
    if (args.size() == 2) {
        char* end = nullptr;
        const unsigned long n = std::strtoul(args[1].c_str(), &end, 10);
        if (args[1].empty() || *end != '\0' || n < 5 || n > 0xFFFFFFFFul) {
            std::fprintf(stderr, "pack_bench: RECORDS must be a whole number of at least 5\n");
            return Usage(stderr, 2);
        }
        records = static_cast<uint32_t>(n);
    }
    ari::IgnoreFileSizeSignal();  // a write past the size limit fails, and is reported
    // The bench works in a folder it makes itself, inside FOLDER or /tmp, and removes only that:
    // whatever else FOLDER holds is never touched.
    std::string made = (args.empty() ? std::string("/tmp") : args[0]) + "/pack_bench-XXXXXX";
    if (!mkdtemp(made.data())) {
        std::perror("pack_bench: cannot make its folder");
        return 2;
    }
    const std::string folder = made + "/";
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
