// The embedded template archive: how it is written out, its layout, and the tables it holds
// (each one checked by the table tool).
#include <gtest/gtest.h>
#include <unzip.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/Dialogs.h"
#include "settings/ProfileKeys.h"
#include "templates/TemplateArchive.h"
#include "tests/support/TestFolders.h"

namespace {

namespace fs = std::filesystem;
using ari::test::ReadFileBytes;
using ari::test::TempFolder;
using ari::test::WriteFileBytes;

std::string EmbeddedArchive() {
    std::string data;
    EXPECT_TRUE(ari::FindRawResource("MDX", data));
    return data;
}

class Messages : public ::testing::Test {
  protected:
    void SetUp() override {
        ari::Dialogs().showMessage = [this](const std::string& t) { shown.push_back(t); };
    }
    void TearDown() override { ari::Dialogs() = {}; }
    std::vector<std::string> shown;
};

using WriteResource = Messages;

TEST_F(WriteResource, WritesTheResourceByteForByteWhateverTheCaseOfItsName) {
    const std::string archive = EmbeddedArchive();
    ASSERT_FALSE(archive.empty());
    for (const char* name : {"mdx", "MDX", "Mdx"}) {
        TempFolder dir;
        WriteResourceFile(name, dir / "new/mdx.zip", dir / "new/");
        EXPECT_EQ(ReadFileBytes(dir / "new/mdx.zip"), archive) << name;
    }
}

TEST_F(WriteResource, LeavesAnExistingFileAlone) {
    TempFolder dir;
    WriteFileBytes(dir / "mdx.zip", "old");
    WriteResourceFile("mdx", dir / "mdx.zip", dir.Path());
    EXPECT_EQ(ReadFileBytes(dir / "mdx.zip"), "old");
    // SaveResourceFile deletes it first.
    EXPECT_TRUE(SaveResourceFile(dir / "mdx.zip", "mdx"));
    EXPECT_EQ(ReadFileBytes(dir / "mdx.zip"), EmbeddedArchive());
    EXPECT_TRUE(shown.empty());
}

TEST_F(WriteResource, FailuresRaiseAndSaveShowsTheMessage) {
    TempFolder dir;
    WriteFileBytes(dir / "mdx", "a file where the folder should be");
    struct Case {
        std::string path;
        const char* resource;
    };
    for (const Case& c : {Case{dir / "mdx/mdx.zip", "mdx"}, Case{dir / "ok.zip", "nosuch"}}) {
        const std::string path = c.path;
        EXPECT_THROW(WriteResourceFile(c.resource, path, dir.Path()), std::exception);
        shown.clear();
        EXPECT_FALSE(SaveResourceFile(path, c.resource));
        EXPECT_EQ(shown, std::vector<std::string>{"خطا در استخراج فایل - client"});
        EXPECT_FALSE(fs::exists(c.path));
    }
}

// ---- The archive's layout.

struct EntryInfo {
    std::string name;
    unz_file_info64 info;
};

std::vector<EntryInfo> ListEntries(const std::string& zipPath) {
    std::vector<EntryInfo> out;
    unzFile zip = unzOpen64(zipPath.c_str());
    EXPECT_NE(zip, nullptr);
    if (!zip)
        return out;
    for (int rc = unzGoToFirstFile(zip); rc == UNZ_OK; rc = unzGoToNextFile(zip)) {
        EntryInfo e;
        char name[512];
        unzGetCurrentFileInfo64(zip, &e.info, name, sizeof name, nullptr, 0, nullptr, 0);
        e.name = name;
        out.push_back(e);
    }
    unz_global_info64 global;
    unzGetGlobalInfo64(zip, &global);
    EXPECT_EQ(global.size_comment, 0u) << "the archive has no comment";
    unzClose(zip);
    return out;
}

std::string Extension(const std::string& name) {
    return name.substr(name.rfind('.') + 1);
}

class TemplateSet : public ::testing::Test {
  protected:
    void SetUp() override {
        zipPath = dir / "mdx.zip";
        WriteFileBytes(zipPath, EmbeddedArchive());
        fs::create_directory(dir / "mdx");
        ASSERT_TRUE(UnzipAll(zipPath, dir / "mdx"));
    }
    TempFolder dir;
    std::string zipPath;
};

TEST_F(TemplateSet, EntriesAreFlatDeflatedMsDosFilesWithTheArchiveAttributeOnly) {
    const std::vector<EntryInfo> entries = ListEntries(zipPath);
    ASSERT_EQ(entries.size(), 120u);
    std::map<std::string, int> kinds;
    for (const EntryInfo& e : entries) {
        SCOPED_TRACE(e.name);
        EXPECT_EQ(e.name.find_first_of("/\\"), std::string::npos);
        for (char c : e.name)
            EXPECT_LT(static_cast<unsigned char>(c), 0x80);
        EXPECT_EQ(e.info.compression_method, 8u);
        EXPECT_EQ(e.info.version, 20u) << "host MS-DOS, version 2.0";
        EXPECT_EQ(e.info.external_fa, 0x20u);
        EXPECT_EQ(e.info.flag & 0x09, 0u) << "neither encrypted nor with a data descriptor";
        EXPECT_EQ(e.info.size_file_extra, 0u);
        EXPECT_EQ(e.info.size_file_comment, 0u);
        ++kinds[Extension(e.name)];
    }
    EXPECT_EQ(kinds, (std::map<std::string, int>{
                         {"ini", 1}, {"DBF", 63}, {"dbf", 1}, {"MDX", 52}, {"DBT", 3}}));
    // Every file is unpacked, no more.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "mdx"), fs::directory_iterator()), 120);
}

TEST_F(TemplateSet, VersionFileIsFortyTwoBytesOfProfileText) {
    const std::string ver = ReadFileBytes(dir / "mdx/1_ver.ini");
    EXPECT_EQ(ver.size(), 42u);
    EXPECT_FALSE(ari::ReadProfileString(dir / "mdx/1_ver.ini", "Version", "Dbf_version").empty());
    EXPECT_EQ(ari::ProfileText(ver).Bytes(), ver);
}

TEST_F(TemplateSet, TablesHaveTheirCompanionsAndHeaderBytes) {
    int tables = 0, memo = 0, indexed = 0, empty = 0;
    for (const auto& e : fs::directory_iterator(dir / "mdx")) {
        const std::string name = e.path().filename().string();
        const std::string ext = Extension(name);
        if (ext != "DBF" && ext != "dbf")
            continue;
        SCOPED_TRACE(name);
        ++tables;
        const std::string base = name.substr(0, name.size() - 4);
        const std::string h = ReadFileBytes(e.path().string());
        ASSERT_GE(h.size(), 32u);
        const auto byte = [&](size_t i) { return static_cast<unsigned char>(h[i]); };
        const bool hasMdx = fs::exists(dir / ("mdx/" + base + ".MDX"));
        const bool hasDbt = fs::exists(dir / ("mdx/" + base + ".DBT"));
        EXPECT_EQ(byte(0), hasDbt ? 0x8B : 0x03);
        EXPECT_EQ(byte(28), hasMdx ? 1 : 0);
        EXPECT_EQ(byte(29), hasMdx ? 0x57 : 0);
        const uint32_t records = byte(4) | byte(5) << 8 | byte(6) << 16 | byte(7) << 24;
        EXPECT_LE(records, 310u);
        memo += hasDbt;
        indexed += hasMdx;
        empty += records == 0;
    }
    EXPECT_EQ(tables, 64);
    EXPECT_EQ(memo, 3);
    EXPECT_EQ(indexed, 52);
    EXPECT_EQ(empty, 48);
}

TEST_F(TemplateSet, EveryTablePassesTheTableToolsCheck) {
    const std::string tool = std::string(ARI_BIN_DIR) + "/dbtool";
    ASSERT_TRUE(fs::exists(tool)) << "build the dbtool target";
    int checked = 0;
    for (const auto& e : fs::directory_iterator(dir / "mdx")) {
        const std::string ext = Extension(e.path().filename().string());
        if (ext != "DBF" && ext != "dbf")
            continue;
        const std::string cmd = tool + " check '" + e.path().string() + "' >/dev/null 2>&1";
        EXPECT_EQ(std::system(cmd.c_str()), 0) << e.path().filename();
        ++checked;
    }
    EXPECT_EQ(checked, 64);
}

TEST_F(TemplateSet, AnIndependentReaderReadsEveryRecordAndMemo) {
    // dbfread (Debian python3-dbfread), written by no one here: every record of every table
    // loads, and each memo the generator stored reads back from its start.
    const std::string script = dir / "read.py";
    WriteFileBytes(script,
                   "import dbfread, glob, sys\n"
                   "tables = memos = 0\n"
                   "for path in glob.glob(sys.argv[1] + '/*.[Dd][Bb][Ff]'):\n"
                   "    table = dbfread.DBF(path, load=True)\n"
                   "    assert len(table.records) == table.header.numrecords, path\n"
                   "    for record in table.records:\n"
                   "        for field in table.fields:\n"
                   "            value = record[field.name]\n"
                   "            if field.type == 'M' and value:\n"
                   "                assert value.startswith('Note '), (path, value[:20])\n"
                   "                memos += 1\n"
                   "    tables += 1\n"
                   "assert tables == 64 and memos > 0, (tables, memos)\n");
    const std::string cmd = "/usr/bin/python3 '" + script + "' '" + dir / "mdx" + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
}

TEST(TemplateArchive, TheGeneratorRebuildsTheEmbeddedArchiveByteForByte) {
    // Fixed dates and data: building on another day or machine embeds the same archive.
    TempFolder dir;
    const std::string tool = std::string(ARI_BIN_DIR) + "/maketemplates";
    const std::string cmd = tool + " --archive '" + dir / "again.zip" + "' >/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_TRUE(ReadFileBytes(dir / "again.zip") == EmbeddedArchive());
}

}  // namespace
