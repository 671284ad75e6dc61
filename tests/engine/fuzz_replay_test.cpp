// A short deterministic replay through the fuzz entry point (engine/fuzz/DbfFuzzTarget.cpp):
// the sample tables, every truncation of a memo table, hostile lengths and pointers, and
// seeded byte mutations. The readers may only ever raise EDBEngineError (caught inside the
// entry point); anything else escaping, a crash or a hang fails the test.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "engine/format/DbfFormat.h"
#include "engine/table/DbfFile.h"
#include "tests/support/TestFolders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::string Input(bool dbase4, const std::string& table, const std::string& memo) {
    std::string in;
    in += static_cast<char>(dbase4 ? 1 : 0);
    in += static_cast<char>(table.size() & 0xFF);
    in += static_cast<char>((table.size() >> 8) & 0xFF);
    return in + table + memo;
}

void Replay(const std::string& input) {
    EXPECT_NO_THROW(
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size()));
}

// A dBASE IV table with two memo records and its memo file, built by hand.
std::pair<std::string, std::string> SmallMemoTable() {
    std::string h(32 + 2 * 32 + 1, '\0');
    auto* p = reinterpret_cast<uint8_t*>(h.data());
    p[0] = 0x8B;
    ari::engine::PutLE32(p + 4, 2);
    ari::engine::PutLE16(p + 8, static_cast<uint16_t>(h.size()));
    ari::engine::PutLE16(p + 10, 1 + 6 + 10);
    h.replace(32, 4, "NAME");
    p[32 + 11] = 'C';
    p[32 + 16] = 6;
    h.replace(64, 5, "NOTES");
    p[64 + 11] = 'M';
    p[64 + 16] = 10;
    p[96] = 0x0D;
    h += " first         1";
    h += "*secnd         2";
    h += '\x1a';
    std::string memo(512, '\0');
    memo[0] = 3;
    memo[20] = 0;
    memo[21] = 2;
    for (const char* text : {"memo one", "memo two, a bit longer"}) {
        std::string block("\xff\xff\x08\x00", 4);
        const uint32_t len = static_cast<uint32_t>(std::string(text).size() + 8);
        block += std::string(reinterpret_cast<const char*>(&len), 4) + text;
        block.resize(512, '\0');
        memo += block;
    }
    return {h, memo};
}

}  // namespace

TEST(FuzzReplay, SampleTablesAndTheirMemos) {
    const std::string samples = ari::test::SamplesDir();
    if (samples.empty())
        GTEST_SKIP() << "the samples folder beside the project is absent";
    size_t replayed = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(samples)) {
        const std::string ext = e.path().extension().string();
        if (ext != ".dbf" && ext != ".DBF" && ext != ".db")
            continue;
        SCOPED_TRACE(e.path().string());
        const std::string table = ari::test::ReadFileBytes(e.path().string()).substr(0, 65535);
        std::string memo;
        for (const char* m : {".dbt", ".DBT"}) {
            auto mp = e.path();
            mp.replace_extension(m);
            if (std::filesystem::exists(mp))
                memo = ari::test::ReadFileBytes(mp.string());
        }
        for (bool dbase4 : {false, true})
            Replay(Input(dbase4, table, memo));
        ++replayed;
    }
    EXPECT_GT(replayed, 5u);
}

TEST(FuzzReplay, EveryTruncationAndHostileValues) {
    const auto [table, memo] = SmallMemoTable();
    for (size_t n = 0; n <= table.size(); ++n)
        Replay(Input(true, table.substr(0, n), memo));
    for (size_t n = 0; n <= memo.size(); n += 7)
        Replay(Input(true, table, memo.substr(0, n)));
    struct Patch {
        bool inTable;
        size_t offset;
        std::string bytes;
    } patches[] = {
        {true, 4, std::string("\xff\xff\xff\xff", 4)},         // 4 billion records
        {true, 8, std::string("\xff\xff", 2)},                 // header length 65535
        {true, 10, std::string("\x01\x00", 2)},                // record length 1
        {true, 10, std::string("\xff\xff", 2)},                // record length 65535
        {true, 32 + 16, std::string("\xff", 1)},               // field longer than the record
        {true, 97 + 7, "4294967295"},                          // memo block 0xFFFFFFFF
        {true, 97 + 7, "0000000001"},                          // memo pointer with zeros
        {true, 97 + 17 + 7, "  99999999"},                     // memo far past the end
        {false, 512 + 4, std::string("\xff\xff\xff\x7f", 4)},  // memo length 2 GB
        {false, 512 + 4, std::string("\x00\x00\x00\x00", 4)},  // memo length 0
        {false, 20, std::string("\x00\x00", 2)},               // memo block size 0
        {false, 20, std::string("\x01\x00", 2)},               // memo block size 1
    };
    for (const auto& p : patches) {
        SCOPED_TRACE(p.offset);
        std::string t = table, m = memo;
        std::string& target = p.inTable ? t : m;
        target.replace(p.offset, p.bytes.size(), p.bytes);
        for (bool dbase4 : {false, true})
            Replay(Input(dbase4, t, m));
    }
}

TEST(FuzzReplay, SeededMutations) {
    const auto [table, memo] = SmallMemoTable();
    const std::string base = Input(true, table, memo);
    std::mt19937 rng(20240611);
    for (int i = 0; i < 3000; ++i) {
        std::string in = base;
        const int flips = 1 + static_cast<int>(rng() % 8);
        for (int k = 0; k < flips; ++k)
            in[3 + rng() % (in.size() - 3)] = static_cast<char>(rng());
        Replay(in);
    }
}
