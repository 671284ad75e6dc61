// A short deterministic replay through the index reader's fuzz entry point
// (engine/fuzz/MdxFuzzTarget.cpp): the sample index files, one we write, every truncation of
// its header area, and seeded mutations. Anything escaping the entry point, a crash or a hang
// fails the test.
#include <gtest/gtest.h>

#include <random>

#include "engine/TTable.h"
#include "tests/engine/IndexTestSupport.h"
#include "tests/support/TestFolders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void Replay(const std::string& input) {
    EXPECT_NO_THROW(
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size()));
}

std::string OurIndexFile(const ari::test::TempFolder& dir) {
    std::vector<ari::test::Row> rows;
    for (int i = 0; i < 800; ++i)
        rows.push_back({{"k" + std::to_string(i * 31 % 800), std::to_string(i % 50 - 25)}});
    ari::test::MakeTable(dir / "f.dbf", {{"K", 'C', 30, 0, 0}, {"N", 'N', 6, 0, 0}}, rows);
    TTable t("Fuzz");
    t.SetDatabaseName(dir.Path());
    t.SetTableName("f.dbf");
    t.AddIndex("K", "K", ixExpression);
    t.AddIndex("N", "N", ixExpression);
    return ari::test::ReadFileBytes(dir / "f.mdx");
}

}  // namespace

TEST(MdxFuzzReplay, SamplesTruncationsAndMutations) {
    std::vector<std::string> seeds;
    const std::string samples = ari::test::SamplesDir();
    if (!samples.empty()) {
        for (const char* f : {"mdx/disco.mdx", "mdx/tdbf_demo.mdx"})
            seeds.push_back(ari::test::ReadFileBytes(samples + f));
    }
    ari::test::TempFolder dir;
    seeds.push_back(OurIndexFile(dir));
    for (const auto& s : seeds) {
        Replay(s);
        for (size_t n = 0; n <= 2100 && n < s.size(); n += 7)
            Replay(s.substr(0, n));
        std::mt19937 rng(static_cast<uint32_t>(s.size()));
        for (int round = 0; round < 150; ++round) {
            std::string m = s;
            const int flips = 1 + static_cast<int>(rng() % 6);
            for (int i = 0; i < flips; ++i) {
                const size_t at =
                    rng() % 3 == 0 ? rng() % m.size() : rng() % std::min<size_t>(m.size(), 3072);
                m[at] = static_cast<char>(rng());
            }
            Replay(m);
        }
    }
}
