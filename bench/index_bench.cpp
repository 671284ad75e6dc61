// index_bench: times adding three tags (NAME, UPPER(NAME), AMOUNT) to a table of NAME C(40),
// AMOUNT N(12,2) and packing it with the index rebuild, against a floor measured in the same
// run: reading the table once and std::sort of the same three key sets in memory.
//
//   index_bench [--records N] [--budget MB] [--folder DIR] [--no-floor] [--keep]
//   (the files go into a new folder inside DIR, or inside the temporary folder: the only
//   folder the bench removes is the one it made)
//   index_bench --large        10,000,000 records, 64 MB sort budget, no floor
//
// Prints each time, the ratios to the floor and the peak resident memory (maxrss).
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "engine/EngineErrors.h"
#include "engine/TTable.h"
#include "engine/expr/Key.h"
#include "engine/index/MdxBuild.h"
#include "engine/table/DbfFile.h"
#include "platform/FileAccess.h"

using namespace ari::engine;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// Processor time of this process (user + system): steadier than wall time on a busy machine.
double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long MaxRssMb() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss / 1024;
}

void MakeTable(const std::string& path, uint64_t records) {
    DbfWriter w(path, {{"NAME", 'C', 40, 0, 0}, {"AMOUNT", 'N', 12, 2, 0}});
    std::mt19937_64 rng(12345);
    static const char* first[] = {"anna",   "Bert",  "CARL", "dora",  "Emil", "frida",
                                  "Gustav", "hanna", "Ivan", "JULIA", "karl", "Lena",
                                  "max",    "Nora",  "otto", "Paula"};
    std::vector<uint8_t> rec(w.RecordLength(), ' ');
    char amount[16];
    for (uint64_t i = 0; i < records; ++i) {
        std::memset(rec.data(), ' ', rec.size());
        rec[0] = (i % 20 == 7) ? '*' : ' ';  // 5% deleted, for the pack
        const std::string name = std::string(first[rng() % 16]) + " " +
                                 std::to_string(rng() % 1000000) + std::string(rng() % 12, 'x');
        std::memcpy(rec.data() + 1, name.data(), std::min<size_t>(name.size(), 40));
        const long cents = static_cast<long>(rng() % 20000001) - 10000000;
        std::snprintf(amount, sizeof amount, "%12.2f", cents / 100.0);
        std::memcpy(rec.data() + 41, amount, 12);
        w.AppendRaw(rec.data());
    }
    w.Finish();
}

// Reads the table once and sorts the three key sets in memory with std::sort.
double Floor(const std::string& path) {
    const auto start = Clock::now();
    auto table = DbfFile::OpenHeld(path);
    struct CKey {
        char key[40];
        uint32_t recno;
    };
    struct NKey {
        double value;
        uint32_t recno;
    };
    std::vector<CKey> names, upper;
    std::vector<NKey> amounts;
    names.reserve(table->RecordCount());
    upper.reserve(table->RecordCount());
    amounts.reserve(table->RecordCount());
    DbfFile::Scanner scan(*table);
    while (const uint8_t* r = scan.Next()) {
        CKey k;
        std::memcpy(k.key, r + 1, 40);
        k.recno = scan.RecNo();
        names.push_back(k);
        for (char& c : k.key)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        upper.push_back(k);
        char text[13];
        std::memcpy(text, r + 41, 12);
        text[12] = 0;
        amounts.push_back(NKey{std::strtod(text, nullptr), scan.RecNo()});
    }
    auto cless = [](const CKey& a, const CKey& b) {
        const int c = std::memcmp(a.key, b.key, 40);
        return c != 0 ? c < 0 : a.recno < b.recno;
    };
    std::sort(names.begin(), names.end(), cless);
    std::sort(upper.begin(), upper.end(), cless);
    std::sort(amounts.begin(), amounts.end(), [](const NKey& a, const NKey& b) {
        return a.value != b.value ? a.value < b.value : a.recno < b.recno;
    });
    const double s = Seconds(start);
    std::printf("  (floor check: first names %.8s / %.8s, smallest amount %.2f)\n",
                names.front().key, upper.front().key, amounts.front().value);
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    ari::IgnoreFileSizeSignal();  // a write past the size limit fails, and is reported
    uint64_t records = 1000000;
    size_t budgetMb = 256;
    bool floor = true, keep = false;
    std::string folder;
    const auto usage = [](std::FILE* out, int code) {
        std::fprintf(out,
                     "usage: index_bench [--records N] [--budget MB] [--folder DIR] "
                     "[--no-floor] [--keep] [--large]\n");
        return code;
    };
    // A positive whole number, or 0 when the text is none.
    const auto count = [](const char* text) -> uint64_t {
        char* end = nullptr;
        errno = 0;
        const unsigned long long n = std::strtoull(text, &end, 10);
        return (*text >= '0' && *text <= '9' && *end == '\0' && errno == 0) ? n : 0;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            return usage(stdout, 0);
        } else if ((a == "--records" || a == "--budget") && i + 1 < argc) {
            const uint64_t n = count(argv[++i]);
            if (n == 0) {
                std::fprintf(stderr, "index_bench: %s needs a positive whole number\n", a.c_str());
                return usage(stderr, 2);
            }
            if (a == "--records")
                records = n;
            else
                budgetMb = static_cast<size_t>(n);
        } else if (a == "--folder" && i + 1 < argc) {
            folder = argv[++i];
        } else if (a == "--no-floor") {
            floor = false;
        } else if (a == "--keep") {
            keep = true;
        } else if (a == "--large") {
            records = 10000000;
            budgetMb = 64;
            floor = false;
        } else {
            std::fprintf(stderr, "index_bench: unknown or incomplete argument %s\n", a.c_str());
            return usage(stderr, 2);
        }
    }
    // The bench works in a folder it makes itself, inside DIR or the temporary folder, and
    // removes only that: whatever else DIR holds is never touched.
    std::string inside = folder.empty() ? std::filesystem::temp_directory_path().string() : folder;
    std::string made = inside + "/index_bench-XXXXXX";
    if (!mkdtemp(made.data())) {
        std::fprintf(stderr, "index_bench: cannot make a folder in %s: %s\n", inside.c_str(),
                     std::strerror(errno));
        return 1;
    }
    folder = made + "/";
    const std::string table = folder + "BENCH.DBF";
    SetIndexSortMemoryBudget(budgetMb << 20);

    try {
        std::printf("index_bench: %llu records, NAME C(40), AMOUNT N(12,2); sort budget %zu MB\n",
                    static_cast<unsigned long long>(records), budgetMb);
        auto t0 = Clock::now();
        MakeTable(table, records);
        std::printf("table written:        %8.2f s  (%.0f MB)\n", Seconds(t0),
                    std::filesystem::file_size(table) / 1048576.0);
        std::printf("maxrss after table:   %8ld MB\n", MaxRssMb());

        TTable t("Bench");
        t.SetDatabaseName(folder);
        t.SetTableName("BENCH.DBF");
        const char* tags[][2] = {{"NAME", "NAME"}, {"UNAME", "UPPER(NAME)"}, {"AMOUNT", "AMOUNT"}};
        double total = 0, totalCpu = 0;
        for (const auto& tag : tags) {
            t0 = Clock::now();
            const double c0 = CpuSeconds();
            t.AddIndex(tag[0], tag[1], ixExpression);
            const double s = Seconds(t0), c = CpuSeconds() - c0;
            total += s;
            totalCpu += c;
            std::printf("AddIndex %-12s %8.2f s  (cpu %.2f s)\n", tag[1], s, c);
        }
        std::printf("three tags:           %8.2f s  (cpu %.2f s; index file %.0f MB)\n", total,
                    totalCpu, std::filesystem::file_size(folder + "BENCH.mdx") / 1048576.0);
        std::printf("maxrss after tags:    %8ld MB\n", MaxRssMb());

        t.SetExclusive(true);
        t0 = Clock::now();
        const double p0 = CpuSeconds();
        t.Open();
        Check(EnginePack(t.DBHandle(), t.Handle(), nullptr, "DBASE", 1));
        t.Close();
        const double pack = Seconds(t0), packCpu = CpuSeconds() - p0;
        std::printf("pack + index rebuild: %8.2f s  (cpu %.2f s)\n", pack, packCpu);
        std::printf("maxrss after pack:    %8ld MB\n", MaxRssMb());

        if (floor) {
            const double f0 = CpuSeconds();
            const double f = Floor(table);
            const double fCpu = CpuSeconds() - f0;
            std::printf("floor (1 read + 3 std::sort in memory): %6.2f s  (cpu %.2f s)\n", f, fCpu);
            std::printf("ratio three tags / floor:   %5.2f wall, %5.2f cpu  (target <= 2)\n",
                        total / f, totalCpu / fCpu);
            std::printf("ratio pack+rebuild / floor: %5.2f wall, %5.2f cpu\n", pack / f,
                        packCpu / fCpu);
        }
        std::printf("peak resident memory (maxrss): %ld MB\n", MaxRssMb());
    } catch (const Exception& e) {
        std::fprintf(stderr, "index_bench: %s\n", e.Message().c_str());
        if (!keep)
            std::filesystem::remove_all(made);
        return 1;
    }
    if (keep)
        std::printf("files kept in %s\n", made.c_str());
    else
        std::filesystem::remove_all(made);
    return 0;
}
