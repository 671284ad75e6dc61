// Damaged index files: each kind of damage is reported as a fault naming the tag (and the
// record where there is one) by the verifier and by `dbtool check`, and random damage never
// crashes or hangs the reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <random>

#include "engine/TTable.h"
#include "engine/format/MdxFormat.h"
#include "engine/index/MdxFile.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/engine/IndexTestSupport.h"
#include "tests/support/TestFolders.h"

using namespace ari::engine;
using namespace ari::test;

namespace {

struct Fixture {
    TempFolder dir;
    std::string table, mdx, good;
    uint32_t root = 0, leaf = 0, interior = 0;  // pages of tag NAME
    uint32_t headerPage = 0, itemLength = 0, totalPages = 0;

    Fixture() {
        const std::vector<FieldDef> fields = {{"NAME", 'C', 40, 0, 0}, {"AMOUNT", 'N', 8, 2, 0}};
        std::vector<Row> rows;
        for (int i = 0; i < 1500; ++i) {
            rows.push_back(
                Row{{"name" + std::to_string((i * 7) % 1500), std::to_string(i % 97 - 40)}, false});
        }
        table = MakeTable(dir / "bad.dbf", fields, rows);
        TTable t("Table2");
        t.SetDatabaseName(dir.Path());
        t.SetTableName("bad.dbf");
        t.AddIndex("NAME", "NAME", ixExpression);
        t.AddIndex("AMOUNT", "AMOUNT", ixExpression);
        mdx = dir / "bad.mdx";
        good = ReadFileBytes(mdx);
        const MdxFile index(mdx);
        const MdxTag& tag = index.Tags()[0];
        root = tag.root;
        headerPage = tag.headerPage;
        itemLength = tag.itemLength;
        totalPages = index.Header().totalPages;
        std::vector<uint8_t> block;
        index.ReadBlock(root, block);
        interior = GetLE32(block.data() + mdx::kNodeItems);  // first child of the root
        for (uint32_t page = interior;;) {
            index.ReadBlock(page, block);
            const uint32_t n = GetLE32(block.data());
            if (GetLE32(block.data() + mdx::kNodeItems + n * itemLength) == 0) {
                leaf = page;
                break;
            }
            page = GetLE32(block.data() + mdx::kNodeItems);
        }
    }
    size_t At(uint32_t page, size_t offset = 0) const {
        return size_t{page} * mdx::kPageSize + offset;
    }
    size_t Item(uint32_t page, size_t i) const {
        return At(page, mdx::kNodeItems + i * itemLength);
    }
};

void Put32(std::string& b, size_t at, uint32_t v) {
    PutLE32(reinterpret_cast<uint8_t*>(&b[at]), v);
}

}  // namespace

TEST(IndexCorruption, EachKindOfDamageIsAFaultNamingWhatIsWrong) {
    Fixture f;
    ASSERT_EQ(IndexFaults(f.table), "");
    ASSERT_GE(TreeLevels(f.mdx, "NAME"), 3);
    struct Case {
        const char* what;
        std::function<void(std::string&)> damage;
        const char* fragment;
    } cases[] = {
        {"shorter than the header", [](std::string& b) { b.resize(1000); },
         "shorter than its header"},
        {"truncated", [](std::string& b) { b.resize(b.size() / 2); }, "pages but the file holds"},
        {"version", [](std::string& b) { b[0] = 9; }, "unknown version byte 9"},
        {"block size", [](std::string& b) { Put32(b, 20, 0x03E80002); }, "block size in bytes"},
        // One page per block leaves no room for a tag header's FOR text.
        {"one-page blocks", [](std::string& b) { Put32(b, 20, 0x02000001); },
         "block size of 1 pages (2 to 63 are valid)"},
        {"tag count", [](std::string& b) { b[28] = 60; }, "60 tags in use"},
        {"total pages", [&](std::string& b) { Put32(b, 32, f.totalPages + 10); },
         "pages but the file holds"},
        {"extra bytes", [](std::string& b) { b.append(512, '\0'); }, "the file has"},
        {"tag header page", [](std::string& b) { Put32(b, 544, 9999999); },
         "header page 9999999 outside"},
        {"key length", [&](std::string& b) { b[f.At(f.headerPage, 12)] = static_cast<char>(200); },
         "key length 200"},
        {"item length", [&](std::string& b) { b[f.At(f.headerPage, 18)] = 48; }, "item length 48"},
        {"root in the header", [&](std::string& b) { Put32(b, f.At(f.headerPage), 2); },
         "root page 2 outside"},
        {"node count", [&](std::string& b) { Put32(b, f.At(f.leaf), 1000); }, "holds 1000 keys"},
        {"leaf key", [&](std::string& b) { b[f.Item(f.leaf, 3) + 4] = '#'; }, "Tag NAME: record"},
        {"record number", [&](std::string& b) { Put32(b, f.Item(f.leaf, 2), 999999); },
         "points to record 999999"},
        {"order",
         [&](std::string& b) {
             std::string a = b.substr(f.Item(f.leaf, 1), f.itemLength);
             b.replace(f.Item(f.leaf, 1), f.itemLength, b.substr(f.Item(f.leaf, 2), f.itemLength));
             b.replace(f.Item(f.leaf, 2), f.itemLength, a);
         },
         "keys out of order"},
        {"lost entry",
         [&](std::string& b) {
             // The leaf's last entry gone: one key fewer, its item cleared.
             const uint32_t n =
                 ari::engine::GetLE32(reinterpret_cast<const uint8_t*>(b.data() + f.At(f.leaf)));
             Put32(b, f.At(f.leaf), n - 1);
             std::fill(b.begin() + long(f.Item(f.leaf, n - 1)), b.begin() + long(f.Item(f.leaf, n)),
                       '\0');
         },
         "is not the last key of its child"},
        {"loop", [&](std::string& b) { Put32(b, f.Item(f.interior, 0), f.interior); },
         "reached twice"},
        {"shared page",
         [&](std::string& b) {
             // Tag AMOUNT's root made to point into tag NAME's tree.
             const uint32_t amountHeader =
                 ari::engine::GetLE32(reinterpret_cast<const uint8_t*>(b.data() + 576));
             Put32(b, f.At(amountHeader), f.leaf);
         },
         "reached twice"},
        {"free list loop",
         [&](std::string& b) {
             Put32(b, 36, f.totalPages - 2);
             b.append(0, '\0');
             Put32(b, f.At(f.totalPages - 2, 4), f.totalPages - 2);
         },
         "free list loops"},
        {"wrong key type", [&](std::string& b) { b[f.At(f.headerPage, 9)] = 'D'; },
         "date key of 40 bytes"},
    };
    for (const auto& c : cases) {
        std::string bytes = f.good;
        c.damage(bytes);
        WriteFileBytes(f.mdx, bytes);
        const std::string faults = IndexFaults(f.table);
        EXPECT_NE(faults.find(c.fragment), std::string::npos) << c.what << ":\n" << faults;
    }
    WriteFileBytes(f.mdx, f.good);
    EXPECT_EQ(IndexFaults(f.table), "");
}

// Faults in a tag's content name the records concerned: the one met out of order and the one
// before it, a record met twice and the record missing in its place, and the repeats of a
// value once the tag is marked unique.
TEST(IndexCorruption, ContentFaultsNameTheRecords) {
    Fixture f;
    const MdxFile index(f.mdx);
    const MdxTag& amount = index.Tags()[1];
    ASSERT_EQ(amount.name, "AMOUNT");
    std::vector<uint8_t> block;
    uint32_t leaf = amount.root;  // the first leaf of tag AMOUNT
    for (;;) {
        index.ReadBlock(leaf, block);
        const uint32_t n = GetLE32(block.data());
        if (GetLE32(block.data() + mdx::kNodeItems + n * amount.itemLength) == 0)
            break;
        leaf = GetLE32(block.data() + mdx::kNodeItems);
    }
    const auto amountItem = [&](size_t i) {
        return f.At(leaf, mdx::kNodeItems + i * amount.itemLength);
    };
    const auto recnoAt = [&](size_t at) {
        return GetLE32(reinterpret_cast<const uint8_t*>(f.good.data() + at));
    };
    // AMOUNT is i % 97 - 40 for record i + 1: the smallest value is in records 1, 98, 195...
    ASSERT_EQ(recnoAt(amountItem(0)), 1u);
    ASSERT_EQ(recnoAt(amountItem(1)), 98u);
    const std::string first = std::to_string(recnoAt(f.Item(f.leaf, 1)));
    const std::string second = std::to_string(recnoAt(f.Item(f.leaf, 2)));

    struct Case {
        const char* what;
        std::function<void(std::string&)> damage;
        std::vector<std::string> fragments;
    } cases[] = {
        {"order",
         [&](std::string& b) {
             const std::string a = b.substr(f.Item(f.leaf, 1), f.itemLength);
             b.replace(f.Item(f.leaf, 1), f.itemLength, b.substr(f.Item(f.leaf, 2), f.itemLength));
             b.replace(f.Item(f.leaf, 2), f.itemLength, a);
         },
         {"Tag NAME: keys out of order: record " + first + " with key ",
          " follows record " + second + " with key "}},
        {"record met twice",
         [&](std::string& b) { Put32(b, amountItem(1), 1); },
         {"Tag AMOUNT: record 1 with key ", " appears more than once",
          "Tag AMOUNT: record 98 with key ", " is missing"}},
        {"unique flag",
         [&](std::string& b) { b[f.At(amount.headerPage, 8)] |= 0x40; },
         {"Tag AMOUNT: record 98 with key ",
          " is not the first record of its value in a unique tag"}},
    };
    for (const auto& c : cases) {
        std::string bytes = f.good;
        c.damage(bytes);
        WriteFileBytes(f.mdx, bytes);
        const std::string faults = IndexFaults(f.table);
        for (const auto& fragment : c.fragments)
            EXPECT_NE(faults.find(fragment), std::string::npos) << c.what << ":\n" << faults;
    }
    WriteFileBytes(f.mdx, f.good);
    EXPECT_EQ(IndexFaults(f.table), "");
}

TEST(IndexCorruption, DbtoolCheckExitCodes) {
    Fixture f;
    const std::string dbtool = std::string(ARI_BIN_DIR) + "/dbtool";
    if (!std::filesystem::exists(dbtool))
        GTEST_SKIP() << "dbtool is not built";
    auto r = RunCommand(ShellQuote(dbtool) + " check " + ShellQuote(f.table));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    std::string bytes = f.good;
    bytes[f.Item(f.leaf, 3) + 4] = '#';
    WriteFileBytes(f.mdx, bytes);
    r = RunCommand(ShellQuote(dbtool) + " check " + ShellQuote(f.table));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.output.find("Tag NAME: record"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("in the index, but its expression gives"), std::string::npos)
        << r.output;
    // The other tag is untouched: listed, and its keys printed in index order.
    r = RunCommand(ShellQuote(dbtool) + " tags " + ShellQuote(f.table));
    EXPECT_EQ(r.output, "NAME\tC\t40\tNAME\nAMOUNT\tN\t12\tAMOUNT\n");
    r = RunCommand(ShellQuote(dbtool) + " keys " + ShellQuote(f.table) + " AMOUNT");
    const auto lines = SplitLines(r.output);
    const auto entries = WalkTag(f.table, "AMOUNT");
    ASSERT_EQ(lines.size(), entries.size());
    for (size_t i = 0; i < lines.size(); i += 97) {
        EXPECT_EQ(lines[i], std::to_string(entries[i].recno) + "\t" + entries[i].key);
    }
    EXPECT_EQ(lines.front().substr(lines.front().find('\t') + 1), "-40");
}

TEST(IndexCorruption, RandomDamageNeverCrashesTheReader) {
    Fixture f;
    std::mt19937 rng(2024);
    int reported = 0;
    for (int round = 0; round < 300; ++round) {
        std::string bytes = f.good;
        if (round % 10 == 0) {
            bytes.resize(rng() % bytes.size());
        } else {
            const int flips = 1 + static_cast<int>(rng() % 8);
            for (int i = 0; i < flips; ++i) {
                // Mostly where the structure lives: the header area and the first pages.
                const size_t at = rng() % 2 ? rng() % 4096 : rng() % bytes.size();
                bytes[at] = static_cast<char>(rng());
            }
        }
        WriteFileBytes(f.mdx, bytes);
        const std::string faults = IndexFaults(f.table);  // must return, whatever the damage
        if (!faults.empty())
            ++reported;
    }
    EXPECT_GT(reported, 100);
}
