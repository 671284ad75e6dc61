// run_bench: the headless runner's pass over a live folder shaped like the templates (their 64
// tables, with their fields and tags) holding 5,000,000 records in all, one in nine deleted:
// times `autoreindex-run --now` with the rebuild and the pack ticked, against a floor measured
// in the same run (reading every live table once and sorting each tag's keys in memory), and
// reports the runner's peak memory.
//
//   run_bench [--records N] [--tables N] [--folder DIR] [--keep]
//   (the files go into a new folder inside DIR, or inside the temporary folder: the only
//   folder the bench removes is the one it made)
//
// --tables N keeps only the N template tables with the most tags (the others are removed from
// the bench's template folder too), so that `--tables 1` shows one large table.
//
// Prints "ratio pass / floor: X" and "peak memory: N MB" (the runner's maximum resident size).
// Targets: a ratio of at most 2.5, and peak memory under 256 MB whatever the folder's size.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "engine/TTable.h"
#include "engine/table/DbfFile.h"
#include "maintenance/IndexRebuild.h"
#include "platform/Files.h"

using namespace ari::engine;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

int Shell(const std::string& line) {
    const int status = std::system(line.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Q(const std::string& s) {
    return "'" + s + "'";
}

// A field text that fits the field.
std::string Value(const FieldDef& f, uint64_t r, std::mt19937_64& rng) {
    switch (f.type) {
        case 'C': {
            static const char* words[] = {"anna",   "Bert",  "CARL", "dora",  "Emil", "frida",
                                          "Gustav", "hanna", "Ivan", "JULIA", "karl", "Lena"};
            std::string s = std::string(words[rng() % 12]) + " " + std::to_string(rng() % 100000);
            s.resize(std::min<size_t>(s.size(), f.length));
            return s;
        }
        case 'N':
        case 'F': {
            const int whole = f.decimals > 0 ? f.length - f.decimals - 1 : f.length;
            uint64_t limit = 1;
            for (int i = 0; i < std::min(whole, 9); ++i)
                limit *= 10;
            std::string s = std::to_string((r * 2654435761u + rng() % 1000) % limit);
            if (f.decimals > 0)
                s += "." + std::string(f.decimals, '5');
            return s;
        }
        case 'D': {
            char d[9];
            std::snprintf(d, sizeof d, "%04u%02u%02u", static_cast<unsigned>(1990 + rng() % 35),
                          static_cast<unsigned>(1 + rng() % 12),
                          static_cast<unsigned>(1 + rng() % 28));
            return d;
        }
        case 'L':
            return rng() % 2 ? "T" : "F";
        default:
            return "";  // memo pointers blank: no memo
    }
}

struct LiveTable {
    std::string file;
    std::vector<ari::IndexDefinition> tags;
};

// Removes from the template folder all but the `keep` tables with the most tags (ties: by name),
// with their index and memo files.
void KeepTablesWithMostTags(const std::string& templates, size_t keep) {
    std::vector<std::pair<size_t, std::string>> byTags;
    for (const std::string& file : ari::ListFiles(templates, "*.dbf")) {
        TTable reader("Template");
        reader.SetDatabaseName(templates);
        reader.SetTableName(file);
        byTags.emplace_back(ari::ReadIndexDefinitions(reader).size(), file);
        reader.Close();
    }
    std::stable_sort(byTags.begin(), byTags.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    for (size_t i = keep; i < byTags.size(); ++i) {
        const std::string& file = byTags[i].second;
        const std::string base = file.substr(0, file.rfind('.'));
        for (const auto& entry : fs::directory_iterator(templates)) {
            const std::string name = entry.path().filename().string();
            if (name.size() == base.size() + 4 &&
                ari::EqualsNoCase(name.substr(0, base.size()), base) && name[base.size()] == '.')
                fs::remove(entry.path());
        }
    }
}

// The live folder: each template table with the template's fields, version and language driver,
// `records` records, one in nine deleted, no index yet; a template memo file is copied along.
std::vector<LiveTable> MakeLiveFolder(const std::string& templates, const std::string& live,
                                      uint64_t records) {
    std::vector<std::string> files = ari::ListFiles(templates, "*.dbf");
    std::vector<LiveTable> out;
    std::mt19937_64 rng(20261210);
    const uint64_t perTable = records / std::max<size_t>(files.size(), 1);
    uint64_t left = records;
    for (size_t t = 0; t < files.size(); ++t) {
        const std::string& file = files[t];
        LiveTable table{file, {}};
        TTable reader("Template");
        reader.SetDatabaseName(templates);
        reader.SetTableName(file);
        table.tags = ari::ReadIndexDefinitions(reader);
        reader.Close();
        const auto tmpl = DbfFile::OpenHeld(templates + file);
        const uint64_t n = t + 1 == files.size() ? left : perTable;
        left -= n;
        {
            DbfWriter w(live + file, tmpl->Fields(), tmpl->Header().version,
                        tmpl->Header().languageDriver);
            std::vector<std::string> row(tmpl->Fields().size());
            for (uint64_t r = 1; r <= n; ++r) {
                for (size_t i = 0; i < row.size(); ++i)
                    row[i] = Value(tmpl->Fields()[i], r, rng);
                w.Append(row, r % 9 == 4);
            }
            w.Finish();
        }
        const std::string base = file.substr(0, file.rfind('.'));
        const std::string memo = ari::FindFileNoCase(templates, base + ".dbt");
        if (!memo.empty())
            fs::copy_file(templates + memo, live + memo, fs::copy_options::overwrite_existing);
        out.push_back(std::move(table));
    }
    return out;
}

// The floor: every live table read once, and for each tag its keys (the bytes of the fields its
// expression names, with the record number) sorted in memory.
double Floor(const std::string& live, const std::vector<LiveTable>& tables) {
    const auto start = Clock::now();
    uint64_t keys = 0;
    for (const LiveTable& t : tables) {
        const auto table = DbfFile::OpenHeld(live + t.file);
        // Per tag: the fields its expression names, in the order the table holds them.
        std::vector<std::vector<const FieldDef*>> parts(t.tags.size());
        std::vector<size_t> widths(t.tags.size(), 0);
        for (size_t k = 0; k < t.tags.size(); ++k) {
            std::string key = t.tags[k].key;
            for (char& c : key)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            for (const FieldDef& f : table->Fields())
                if (key.find(f.name) != std::string::npos) {
                    parts[k].push_back(&f);
                    widths[k] += f.length;
                }
        }
        std::vector<std::vector<uint8_t>> data(t.tags.size());
        DbfFile::Scanner scan(*table);
        while (const uint8_t* r = scan.Next()) {
            const uint32_t recno = scan.RecNo();
            for (size_t k = 0; k < t.tags.size(); ++k) {
                for (const FieldDef* f : parts[k])
                    data[k].insert(data[k].end(), r + f->offset, r + f->offset + f->length);
                const auto* p = reinterpret_cast<const uint8_t*>(&recno);
                data[k].insert(data[k].end(), p, p + sizeof recno);
            }
        }
        for (size_t k = 0; k < t.tags.size(); ++k) {
            const size_t width = widths[k] + sizeof(uint32_t);
            const size_t count = data[k].size() / width;
            std::vector<uint32_t> order(count);
            std::iota(order.begin(), order.end(), 0u);
            const uint8_t* base = data[k].data();
            std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
                return std::memcmp(base + a * width, base + b * width, width) < 0;
            });
            keys += count;
        }
    }
    const double s = Seconds(start);
    std::printf("floor: %llu keys sorted\n", static_cast<unsigned long long>(keys));
    return s;
}

constexpr const char kUsage[] =
    "usage: run_bench [--records N] [--tables N] [--folder DIR] [--keep]\n";

constexpr const char kHelp[] =
    "usage: run_bench [--records N] [--tables N] [--folder DIR] [--keep]\n"
    "\n"
    "Times the headless runner's pass (autoreindex-run --now, index rebuild and pack ticked)\n"
    "over a live folder shaped like the template tables, one record in nine deleted, against\n"
    "a floor measured in the same run, and reports the runner's peak memory.\n"
    "\n"
    "  --records N   records in the live folder, all tables together (default 5000000)\n"
    "  --tables N    keep only the N template tables with the most tags (default: all);\n"
    "                --tables 1 shows one large table\n"
    "  --folder DIR  make the bench's own folder inside DIR (default: the temporary folder);\n"
    "                only that folder is ever removed\n"
    "  --keep        keep the bench's folder (tables, settings, runner output) afterwards\n"
    "  --help, -h    this text\n"
    "\n"
    "Figures:\n"
    "  live folder   the tables made, how many have tags, the records, the time to make them\n"
    "  floor         every live table read once and each tag's keys sorted in memory: what\n"
    "                any pass must at least do, on this machine, now\n"
    "  pass          the runner's wall time and its exit code\n"
    "  ratio pass / floor\n"
    "                the pass's time over the floor's; at most 2.5 is the target\n"
    "  peak memory   the runner's maximum resident size; under 256 MB is the target,\n"
    "                whatever the folder's size\n"
    "\n"
    "Exit code 0 when the runner succeeded, 1 when it did not (its output is kept in the\n"
    "bench's folder), 2 for a command line or folder that cannot be used.\n";

}  // namespace

int main(int argc, char** argv) {
    uint64_t records = 5000000;
    size_t maxTables = 0;  // 0: all
    std::string folder;
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--records" && i + 1 < argc) {
            records = std::strtoull(argv[++i], nullptr, 10);
        } else if (a == "--tables" && i + 1 < argc) {
            maxTables = std::strtoull(argv[++i], nullptr, 10);
        } else if (a == "--folder" && i + 1 < argc) {
            folder = argv[++i];
        } else if (a == "--keep") {
            keep = true;
        } else if (a == "--help" || a == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        } else {
            std::fprintf(stderr, "run_bench: unknown or incomplete argument %s\n%s", a.c_str(),
                         kUsage);
            return 2;
        }
    }
    const std::string bin = ari::ExtractFilePath(ari::ExecutablePath());
    // The bench works in a folder it makes itself, inside DIR or the temporary folder, and
    // removes only that: whatever else DIR holds is never touched.
    const std::string inside = folder.empty() ? fs::temp_directory_path().string() : folder;
    std::string made = ari::WithTrailingSeparator(inside) + "run_bench-XXXXXX";
    if (!mkdtemp(made.data())) {
        std::fprintf(stderr, "run_bench: cannot make a folder in %s: %s\n", inside.c_str(),
                     std::strerror(errno));
        return 2;
    }
    folder = ari::WithTrailingSeparator(made);
    const std::string templates = folder + "mdx/", live = folder + "live/";
    fs::create_directories(live);
    if (Shell(Q(bin + "maketemplates") + " --archive " + Q(folder + "t.zip") + " --keep " +
              Q(templates) + " >/dev/null") != 0) {
        if (!keep)
            fs::remove_all(made);
        return 2;
    }

    if (maxTables > 0)
        KeepTablesWithMostTags(templates, maxTables);

    auto start = Clock::now();
    const std::vector<LiveTable> tables = MakeLiveFolder(templates, live, records);
    size_t tagged = 0;
    for (const LiveTable& t : tables)
        tagged += t.tags.empty() ? 0 : 1;
    std::printf("live folder: %zu tables (%zu with tags), %llu records: made in %.1f s\n",
                tables.size(), tagged, static_cast<unsigned long long>(records), Seconds(start));

    const double floor = Floor(live, tables);
    std::printf("floor (every table read once, each tag's keys sorted in memory): %.2f s\n", floor);

    {
        std::ofstream ini(folder + "Setting_VorelIndex.ini");
        ini << "[Setting]\nSource=" << templates << "\nDest=" << live
            << "\nTransfer=0\nReindex=-1\nPack=-1\n";
    }
    start = Clock::now();
    const pid_t child = fork();
    if (child == 0) {
        const int out = open((folder + "runner.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, STDOUT_FILENO);
        const std::string runner = bin + "autoreindex-run";
        const std::string settings = folder + "Setting_VorelIndex.ini";
        execl(runner.c_str(), "autoreindex-run", "--now", "--ignore-sessions", "--settings",
              settings.c_str(), "--journal", folder.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    const double pass = Seconds(start);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::printf("pass (autoreindex-run --now, rebuild and pack): %.2f s, exit code %d\n", pass,
                code);
    std::printf("ratio pass / floor: %.2f\n", pass / floor);
    std::printf("peak memory: %ld MB\n", usage.ru_maxrss / 1024);
    if (code != 0)
        std::printf("runner output in %srunner.out\n", folder.c_str());
    if (keep)
        std::printf("files kept in %s\n", made.c_str());
    else if (code == 0)
        fs::remove_all(made);
    return code == 0 ? 0 : 1;
}
