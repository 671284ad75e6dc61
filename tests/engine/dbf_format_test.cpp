// Header validation and the small format parsers, as tables of cases over bytes built here.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "engine/EngineErrors.h"
#include "engine/EngineStatus.h"
#include "engine/format/DbfFormat.h"

using namespace ari::engine;

namespace {

// A valid two-field dBASE III header (NAME C10, QTY N5) plus `records` records and 0x1A.
std::string ValidTable(uint32_t records = 2) {
    std::string h(32 + 2 * 32 + 1, '\0');
    auto* p = reinterpret_cast<uint8_t*>(h.data());
    p[0] = 0x03;
    p[1] = 124;
    p[2] = 1;
    p[3] = 2;
    PutLE32(p + 4, records);
    PutLE16(p + 8, static_cast<uint16_t>(h.size()));
    PutLE16(p + 10, 16);
    std::memcpy(p + 32, "NAME", 4);
    p[32 + 11] = 'C';
    p[32 + 16] = 10;
    std::memcpy(p + 64, "QTY", 3);
    p[64 + 11] = 'N';
    p[64 + 16] = 5;
    p[96] = 0x0D;
    for (uint32_t i = 0; i < records; ++i)
        h += " abcdefghij12345";
    h += '\x1a';
    return h;
}

struct HeaderCase {
    const char* name;
    std::function<void(std::string&)> damage;
    uint16_t status;       // 0: parses
    const char* mentions;  // text the message must contain
};

}  // namespace

TEST(DbfHeader, ValidatesEveryCheckAndSaysWhichFailed) {
    const HeaderCase cases[] = {
        {"valid", [](std::string&) {}, 0, ""},
        {"empty file", [](std::string& s) { s.clear(); }, kStatusCorruptHeader, "empty"},
        {"truncated header", [](std::string& s) { s.resize(20); }, kStatusCorruptHeader,
         "shorter than a table header"},
        {"header longer than file",
         [](std::string& s) { PutLE16(reinterpret_cast<uint8_t*>(&s[8]), 60000); },
         kStatusCorruptHeader, "larger than the file"},
        {"header too small", [](std::string& s) { PutLE16(reinterpret_cast<uint8_t*>(&s[8]), 40); },
         kStatusCorruptHeader, "too small"},
        {"record length mismatch",
         [](std::string& s) { PutLE16(reinterpret_cast<uint8_t*>(&s[10]), 17); },
         kStatusCorruptHeader, "does not match the fields"},
        {"record length zero",
         [](std::string& s) { PutLE16(reinterpret_cast<uint8_t*>(&s[10]), 0); },
         kStatusCorruptHeader, "too small"},
        {"no terminator", [](std::string& s) { s[96] = 'X'; }, kStatusCorruptHeader,
         "no terminator"},
        {"field without name", [](std::string& s) { s[64] = 0; }, kStatusCorruptHeader,
         "has no name"},
        {"zero-length field", [](std::string& s) { s[64 + 16] = 0; }, kStatusCorruptHeader,
         "length 0"},
        {"date not 8 bytes", [](std::string& s) { s[64 + 11] = 'D'; }, kStatusCorruptHeader,
         "date field"},
        {"unknown field type", [](std::string& s) { s[64 + 11] = 'Q'; }, kStatusUnsupportedFormat,
         "unsupported type"},
        {"level 7 (0x8C)", [](std::string& s) { s[0] = static_cast<char>(0x8C); },
         kStatusUnsupportedFormat, "level 7"},
        {"level 7 (0x04)", [](std::string& s) { s[0] = 0x04; }, kStatusUnsupportedFormat,
         "level 7"},
        {"dBASE II", [](std::string& s) { s[0] = 0x02; }, kStatusUnsupportedFormat, "0x02"},
        {"encrypted", [](std::string& s) { s[15] = 1; }, kStatusUnsupportedFormat, "Encrypted"},
        {"dBASE IV with memo", [](std::string& s) { s[0] = static_cast<char>(0x8B); }, 0, ""},
        {"garbage in reserved bytes",
         [](std::string& s) {
             s[30] = 0x71;
             s[31] = 1;
             s[32 + 12] = 0x55;
         },
         0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string file = ValidTable();
        c.damage(file);
        const std::string_view head(file.data(), std::min<size_t>(file.size(), 97));
        if (c.status == 0) {
            const DbfHeader h = ParseDbfHeader(head, file.size(), "t.dbf");
            EXPECT_EQ(h.fields.size(), 2u);
            EXPECT_EQ(h.fields[1].offset, 11u);
            EXPECT_EQ(h.recordLength, 16);
            continue;
        }
        try {
            ParseDbfHeader(head, file.size(), "t.dbf");
            ADD_FAILURE() << "no error";
        } catch (const EDBEngineError& e) {
            EXPECT_EQ(e.ErrorCode(), c.status);
            EXPECT_NE(e.Message().find("t.dbf"), std::string::npos) << e.Message();
            EXPECT_NE(e.Message().find(c.mentions), std::string::npos) << e.Message();
        }
    }
}

TEST(DbfHeader, FamiliesAndMemoLayoutsOfVersionBytes) {
    struct {
        uint8_t v;
        DbfFamily family;
        MemoLayout memo;
    } cases[] = {
        {0x03, DbfFamily::DBase, MemoLayout::None},
        {0x83, DbfFamily::DBase, MemoLayout::DBase3},
        {0x8B, DbfFamily::DBase, MemoLayout::DBase4},
        {0x30, DbfFamily::FoxPro, MemoLayout::FoxPro},
        {0xF5, DbfFamily::FoxPro, MemoLayout::FoxPro},
        {0x8C, DbfFamily::Level7, MemoLayout::None},
        {0x02, DbfFamily::Unknown, MemoLayout::None},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FamilyOfVersion(c.v), c.family) << int(c.v);
        EXPECT_EQ(MemoLayoutOfVersion(c.v), c.memo) << int(c.v);
    }
}

TEST(DbfHeader, MemoPointerTexts) {
    struct {
        std::string text;
        bool ok;
        uint32_t block;
    } cases[] = {
        {"         7", true, 7},  {"0000000012", true, 12},         {"          ", true, 0},
        {"         0", true, 0},  {std::string(10, '\0'), true, 0}, {"12        ", true, 12},
        {"   1 2    ", false, 0}, {"      -1  ", false, 0},         {"99999999999", false, 0},
        {"   abc    ", false, 0},
    };
    for (const auto& c : cases) {
        uint32_t block = 99;
        EXPECT_EQ(ParseMemoPointer(c.text, block), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(block, c.block) << c.text;
        }
    }
}

TEST(DbfHeader, PhysicalCountSwallowsEndByteAndPartialRecord) {
    const std::string file = ValidTable(3);
    const DbfHeader h = ParseDbfHeader(file, file.size(), "t.dbf");
    EXPECT_EQ(PhysicalRecordCount(h, file.size()), 3u);      // with the 0x1A
    EXPECT_EQ(PhysicalRecordCount(h, file.size() - 1), 3u);  // without it
    EXPECT_EQ(PhysicalRecordCount(h, file.size() - 2), 2u);  // last record cut
    EXPECT_EQ(PhysicalRecordCount(h, h.headerLength), 0u);
}
