// The profile-file rules (ProfileText, the file operations) and IniValue over them.
#include <iconv.h>

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/Exception.h"
#include "platform/FileAccess.h"
#include "settings/Formats.h"
#include "settings/IniValue.h"
#include "settings/ProfileKeys.h"
#include "tests/support/FailingEnv.h"
#include "tests/support/FileAttributes.h"
#include "tests/support/TestFolders.h"

namespace {

using ari::ProfileText;
using ari::test::ReadFileBytes;
using ari::test::TempFolder;
using ari::test::WriteFileBytes;

struct ReadCase {
    const char* name;
    std::string text;
    const char* section;
    const char* key;
    std::string expected;
};

// Test names and failure reports show the case label rather than its bytes.
void PrintTo(const ReadCase& c, std::ostream* os) {
    *os << c.name;
}

class ProfileRead : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ProfileRead, GivesTheTrimmedUnquotedValue) {
    const ReadCase& c = GetParam();
    EXPECT_EQ(ProfileText(c.text).Read(c.section, c.key), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProfileRead,
    ::testing::Values(
        ReadCase{"plain", "[Setting]\r\nBegin=00:00:01\r\n", "Setting", "Begin", "00:00:01"},
        ReadCase{"padded", "[Setting]\r\n  Dest  =   /data/live   \r\n", "Setting", "Dest",
                 "/data/live"},
        ReadCase{"tabs", "[Setting]\r\nDest=\t/data\t\r\n", "Setting", "Dest", "/data"},
        ReadCase{"double_quotes", "[Setting]\r\nDest=  \" /data/x \"  \r\n", "Setting", "Dest",
                 " /data/x "},
        ReadCase{"single_quotes", "[Setting]\r\nDest='/data'\r\n", "Setting", "Dest", "/data"},
        ReadCase{"one_pair_only", "[Setting]\r\nDest=\"\"/data\"\"\r\n", "Setting", "Dest",
                 "\"/data\""},
        ReadCase{"unmatched_quote", "[Setting]\r\nDest=\"/data\r\n", "Setting", "Dest", "\"/data"},
        ReadCase{"lone_quote", "[Setting]\r\nDest=\"\r\n", "Setting", "Dest", "\""},
        ReadCase{"equals_in_value", "[Setting]\r\nDest=a=b\r\n", "Setting", "Dest", "a=b"},
        ReadCase{"case_of_names", "[SETTING]\r\nbegin=6:30\r\n", "setting", "BEGIN", "6:30"},
        ReadCase{"blanks_in_header", "[ Setting ]\r\nPack=-1\r\n", "Setting", "Pack", "-1"},
        ReadCase{"lf_only", "[Setting]\nPack=-1\nReindex=0\n", "Setting", "Reindex", "0"},
        ReadCase{"no_final_line_end", "[Setting]\r\nPack=-1", "Setting", "Pack", "-1"},
        ReadCase{"first_duplicate_wins", "[Setting]\r\nPack=1\r\nPack=2\r\n", "Setting", "Pack",
                 "1"},
        ReadCase{"first_duplicate_section_wins",
                 "[Setting]\r\nPack=1\r\n[Other]\r\n[Setting]\r\nPack=2\r\n", "Setting", "Pack",
                 "1"},
        ReadCase{"key_of_other_section", "[Other]\r\nPack=-1\r\n[Setting]\r\n", "Setting", "Pack",
                 ""},
        ReadCase{"missing_key", "[Setting]\r\nPack=-1\r\n", "Setting", "Dest", ""},
        ReadCase{"missing_section", "[Other]\r\nDest=x\r\n", "Setting", "Dest", ""},
        ReadCase{"comment_is_no_key", "[Setting]\r\n;Dest=x\r\n", "Setting", ";Dest", ""},
        ReadCase{"empty_value", "[Setting]\r\nDest=\r\n", "Setting", "Dest", ""},
        ReadCase{"cut_to_2047", "[S]\r\nK=" + std::string(3000, 'x') + "\r\n", "S", "K",
                 std::string(2047, 'x')},
        ReadCase{"cut_counts_characters",
                 "[S]\r\nK=" + std::string(1000, 'x') +
                     [] {
                         std::string s;
                         for (int i = 0; i < 1100; ++i)
                             s += "\xD9\x85";  // Persian letter meem
                         return s;
                     }() +
                     "\r\n",
                 "S", "K",
                 std::string(1000, 'x') +
                     [] {
                         std::string s;
                         for (int i = 0; i < 1047; ++i)
                             s += "\xD9\x85";
                         return s;
                     }()}),
    [](const auto& p) { return std::string(p.param.name); });

struct WriteCase {
    const char* name;
    std::string before;
    const char* section;
    const char* key;
    const char* value;
    std::string after;
};

// Test names and failure reports show the case label rather than its bytes.
void PrintTo(const WriteCase& c, std::ostream* os) {
    *os << c.name;
}

class ProfileWrite : public ::testing::TestWithParam<WriteCase> {};

TEST_P(ProfileWrite, ChangesOnlyTheKeysLine) {
    const WriteCase& c = GetParam();
    ProfileText text(c.before);
    text.Write(c.section, c.key, c.value);
    EXPECT_EQ(text.Bytes(), c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProfileWrite,
    ::testing::Values(
        WriteCase{"new_file", "", "Setting", "Begin", "00:00:01",
                  "[Setting]\r\nBegin=00:00:01\r\n"},
        WriteCase{"replace_in_place", "[Setting]\r\nBegin=1\r\nEnd=2\r\n", "Setting", "Begin", "3",
                  "[Setting]\r\nBegin=3\r\nEnd=2\r\n"},
        WriteCase{"replace_keeps_other_line_ends", "[Setting]\nBegin=1\nEnd=2\n", "Setting",
                  "Begin", "3", "[Setting]\nBegin=3\r\nEnd=2\n"},
        WriteCase{"replace_ignores_case", "[setting]\r\nbegin=1\r\n", "Setting", "Begin", "2",
                  "[setting]\r\nBegin=2\r\n"},
        WriteCase{"append_to_section_before_next", "[Setting]\r\nBegin=1\r\n\r\n[Other]\r\nX=1\r\n",
                  "Setting", "End", "2", "[Setting]\r\nBegin=1\r\nEnd=2\r\n\r\n[Other]\r\nX=1\r\n"},
        WriteCase{"append_after_comment", "[Setting]\r\n; kept\r\n", "Setting", "End", "2",
                  "[Setting]\r\n; kept\r\nEnd=2\r\n"},
        WriteCase{"append_to_unterminated_last_line", "[Setting]\r\nBegin=1", "Setting", "End", "2",
                  "[Setting]\r\nBegin=1\r\nEnd=2\r\n"},
        WriteCase{"new_section_at_end", "; head\r\n[Other]\r\nX=1\r\n", "Setting", "Pack", "-1",
                  "; head\r\n[Other]\r\nX=1\r\n[Setting]\r\nPack=-1\r\n"},
        WriteCase{"new_section_after_unterminated_line", "[Other]\r\nX=1", "Setting", "Pack", "0",
                  "[Other]\r\nX=1\r\n[Setting]\r\nPack=0\r\n"},
        WriteCase{"empty_value", "[Setting]\r\nDest=/x\r\n", "Setting", "Dest", "",
                  "[Setting]\r\nDest=\r\n"},
        WriteCase{"same_key_in_other_section_untouched", "[Other]\r\nDest=1\r\n[Setting]\r\n",
                  "Setting", "Dest", "2", "[Other]\r\nDest=1\r\n[Setting]\r\nDest=2\r\n"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(ProfileText, DeleteRemovesOnlyThatLine) {
    ProfileText text("[A]\r\nK=1\r\n[B]\r\nK=2\r\nL=3\r\n");
    EXPECT_TRUE(text.Delete("b", "k"));
    EXPECT_FALSE(text.Delete("B", "K"));
    EXPECT_FALSE(text.Delete("C", "K"));
    EXPECT_EQ(text.Bytes(), "[A]\r\nK=1\r\n[B]\r\nL=3\r\n");
}

TEST(ProfileText, BytesOfUntouchedTextAreUnchanged) {
    const std::string odd = "\xEF\xBB\xBF; bom\r\n[A]\rK=1\n\n  [B]  \r\nnot a key\r\nZ = 9";
    EXPECT_EQ(ProfileText(odd).Bytes(), odd);
}

// The UTF-8 text `text` in the encoding that `mark` announces, mark included ("" plain UTF-8,
// "\xEF\xBB\xBF", "\xFF\xFE", "\xFE\xFF").
std::string Encoded(const std::string& mark, const std::string& text) {
    if (mark.size() != 2)
        return mark + text;
    // The C library's converter: a coder that no one here wrote.
    iconv_t cd = iconv_open(mark == "\xFF\xFE" ? "UTF-16LE" : "UTF-16BE", "UTF-8");
    EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
    std::string in = text, out(text.size() * 4, '\0');
    char* inPtr = in.data();
    char* outPtr = out.data();
    size_t inLeft = in.size(), outLeft = out.size();
    EXPECT_NE(iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft), static_cast<size_t>(-1));
    iconv_close(cd);
    out.resize(out.size() - outLeft);
    return mark + out;
}

TEST(ProfileText, ReadsAndWritesEachEncodingThePlatformReads) {
    // A file saved by a Windows editor starts with a byte order mark; a settings file written
    // by the platform's functions into a Unicode file stays UTF-16.
    const std::string text = "[Setting]\r\nBegin=06:30\r\nDest=/داده‌ها/live\r\n";
    for (const std::string mark : {"", "\xEF\xBB\xBF", "\xFF\xFE", "\xFE\xFF"}) {
        SCOPED_TRACE(testing::PrintToString(mark));
        const std::string bytes = Encoded(mark, text);
        ProfileText t(bytes);
        EXPECT_EQ(t.Read("Setting", "Begin"), "06:30");
        EXPECT_EQ(t.Read("setting", "DEST"), "/داده‌ها/live");
        EXPECT_EQ(t.Bytes(), bytes);
        t.Write("Setting", "Pack", "-1");
        t.Write("Setting", "Begin", "07:00");
        EXPECT_EQ(
            t.Bytes(),
            Encoded(mark, "[Setting]\r\nBegin=07:00\r\nDest=/داده‌ها/live\r\nPack=-1\r\n"));
    }
}

TEST(ProfileText, UntouchedUtf16TextComesBackUnitForUnit) {
    // A lone surrogate, a character outside the basic plane, and a last byte of no whole unit.
    const std::string le = std::string("\xFF\xFE", 2) + std::string("[\0A\0]\0\r\0\n\0", 10) +
                           std::string("K\0=\0\x3D\xD8\x00\xDE\x01\xD8\r\0\n\0", 16) + "Z";
    ProfileText t(le);
    EXPECT_EQ(t.Bytes(), le);
    EXPECT_EQ(t.Read("A", "K"), "\xF0\x9F\x98\x80\xED\xA0\x81");
}

// ---- Files.

// Runs `body` in a child that may take ten seconds: a read that waits on a pipe or never ends
// fails the test instead of holding it. The child's exit code is what `body` returns.
int InAChild(const std::function<int()>& body) {
    const pid_t child = fork();
    if (child == 0) {
        alarm(10);
        _exit(body());
    }
    int status = -1;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(ProfileFile, OnlyARegularFileOfASettingsFilesSizeIsRead) {
    const char* const cases[] = {"a pipe", "a link to /dev/zero", "a folder", "two megabytes"};
    for (const std::string what : cases) {
        SCOPED_TRACE(what);
        TempFolder dir;
        const std::string path = dir / "Setting_VorelIndex.ini";
        if (what == "a pipe")
            ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
        else if (what == "a link to /dev/zero")
            std::filesystem::create_symlink("/dev/zero", path);
        else if (what == "a folder")
            std::filesystem::create_directory(path);
        else
            WriteFileBytes(path, "[Setting]\r\nAutomat=-1\r\n; " + std::string(2 << 20, 'x'));
        // The lenient read gives "", as for any unreadable file; IniValue, which the program
        // reads its settings through, says what is wrong, naming the file.
        EXPECT_EQ(InAChild([&] {
                      return ari::ReadProfileString(path, "Setting", "Automat").empty() ? 0 : 1;
                  }),
                  0);
        EXPECT_EQ(InAChild([&] {
                      std::string value;
                      try {
                          IniValue(path, "Setting", "Automat", "", false, false, value);
                      } catch (const EInOutError& e) {
                          return e.Message().rfind(path, 0) == 0 ? 0 : 2;
                      }
                      return 1;
                  }),
                  0);
    }
}

// A regular file whose read the system refuses (the memory file of the reading process, which
// fails at offset 0 with an I/O error) is an error that names the settings file.
TEST(ProfileFile, AReadTheSystemRefusesNamesTheSettingsFile) {
    TempFolder dir;
    const std::string path = dir / "Setting_VorelIndex.ini";
    std::filesystem::create_symlink("/proc/self/mem", path);
    std::string value;
    try {
        IniValue(path, "Setting", "Automat", "", false, false, value);
        ADD_FAILURE() << "no error";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.Message().rfind(path + ": ", 0), 0u) << e.Message();
    }
    EXPECT_TRUE(value.empty());
}

TEST(ProfileFile, AWriteKilledOrFailedAtAnyMomentLeavesTheOldFileOrTheNew) {
    TempFolder dir;
    const std::string path = dir / "Setting_VorelIndex.ini";
    const std::string pad = "; " + std::string(256 << 10, '-') + "\r\n";  // writes take a while
    const std::string a = "[Setting]\r\nDest=/a\r\n" + pad, b = "[Setting]\r\nDest=/b\r\n" + pad;
    WriteFileBytes(path, a);
    for (int round = 0; round < 24; ++round) {
        SCOPED_TRACE(round);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (;;) {
                ari::WriteProfileString(path, "Setting", "Dest", "/b");
                ari::WriteProfileString(path, "Setting", "Dest", "/a");
            }
        }
        usleep(static_cast<useconds_t>(round % 8) * 700);
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        const std::string now = ReadFileBytes(path);
        EXPECT_TRUE(now == a || now == b) << now.substr(0, 40);
    }
    // The next write clears what the killed ones left.
    ari::WriteProfileString(path, "Setting", "Dest", "/a");
    EXPECT_EQ(ReadFileBytes(path), a);
    std::vector<std::string> left;
    for (const auto& e : std::filesystem::directory_iterator(dir.Path()))
        left.push_back(e.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"Setting_VorelIndex.ini"});
    // A write that fails part way (the file-size limit as a full disk) changes nothing.
    const std::string before = ReadFileBytes(path);
    EXPECT_EQ(InAChild([&] {
                  ari::IgnoreFileSizeSignal();
                  const rlimit limit{4096, 4096};
                  setrlimit(RLIMIT_FSIZE, &limit);
                  try {
                      ari::WriteProfileString(path, "Setting", "Dest", "/c");
                  } catch (const EInOutError& e) {
                      return e.Message() == "Disk full" ? 0 : 2;
                  }
                  return 1;
              }),
              0);
    EXPECT_EQ(ReadFileBytes(path), before);
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.Path()))
        names.push_back(e.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"Setting_VorelIndex.ini"});
}

TEST(ProfileFile, EveryFailedWriteFlushOrRenameLeavesTheOldFileAndNoTemporary) {
    using ari::test::FailingEnv;
    TempFolder dir;
    const std::string path = dir / "Setting_VorelIndex.ini";
    const std::string before = "[Setting]\r\nDest=/a\r\nPack=-1\r\n";
    for (const auto kind : {FailingEnv::kWrite, FailingEnv::kFsync, FailingEnv::kRename}) {
        for (int n = 1;; ++n) {
            SCOPED_TRACE(std::to_string(kind) + " #" + std::to_string(n));
            WriteFileBytes(path, before);
            FailingEnv ops(kind, n);
            bool threw = false;
            {
                const ari::test::InstalledEnv installed(&ops);
                try {
                    ari::WriteProfileString(path, "Setting", "Dest", "/b");
                } catch (const EInOutError& e) {
                    threw = true;
                    EXPECT_EQ(e.Message(), "Disk full");
                }
            }
            EXPECT_EQ(threw, ops.Failed());
            std::vector<std::string> names;
            for (const auto& e : std::filesystem::directory_iterator(dir.Path()))
                names.push_back(e.path().filename().string());
            EXPECT_EQ(names, std::vector<std::string>{"Setting_VorelIndex.ini"});
            if (!ops.Failed()) {
                EXPECT_EQ(ReadFileBytes(path), "[Setting]\r\nDest=/b\r\nPack=-1\r\n");
                EXPECT_GT(n, 1) << "the write never reached this kind of call";
                break;
            }
            EXPECT_EQ(ReadFileBytes(path), before);
        }
    }
}

TEST(ProfileFile, WriteCarriesTheFilesAccessListAndAttributes) {
    TempFolder dir;
    const std::string path = dir / "Setting_VorelIndex.ini";
    WriteFileBytes(path, "[Setting]\r\nDest=/a\r\n");
    const auto attributes = ari::test::PlantServerAttributes(path);
    struct stat before {};
    stat(path.c_str(), &before);
    ari::WriteProfileString(path, "Setting", "Dest", "/b");
    EXPECT_EQ(ReadFileBytes(path), "[Setting]\r\nDest=/b\r\n");
    EXPECT_EQ(ari::test::ReadAttributes(path), attributes);
    struct stat after {};
    stat(path.c_str(), &after);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_NE(after.st_ino, before.st_ino);  // replaced, not written in place
}

TEST(ProfileFile, MissingFileReadsEmptyAndIsNotCreated) {
    TempFolder dir;
    EXPECT_EQ(ari::ReadProfileString(dir / "none.ini", "Setting", "Begin"), "");
    ari::DeleteProfileKey(dir / "none.ini", "Setting", "Begin");
    EXPECT_FALSE(std::filesystem::exists(dir / "none.ini"));
}

TEST(ProfileFile, UnreadableFileReadsEmpty) {
    TempFolder dir;
    std::filesystem::create_directory(dir / "settings.ini");  // a name no file can be read from
    EXPECT_EQ(ari::ReadProfileString(dir / "settings.ini", "Setting", "Begin"), "");
}

TEST(ProfileFile, FailedWriteLeavesTheFileAndNoTemporary) {
    TempFolder dir;
    // A folder where the file should be: the new content cannot be renamed over it.
    std::filesystem::create_directory(dir / "settings.ini");
    EXPECT_THROW(ari::WriteProfileString(dir / "settings.ini", "S", "K", "v"), EInOutError);
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.Path()))
        names.push_back(e.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"settings.ini"});
}

TEST(ProfileFile, WriteFollowsASymbolicLinkAndKeepsIt) {
    TempFolder dir;
    WriteFileBytes(dir / "real.ini", "[S]\r\nK=1\r\n");
    std::filesystem::create_symlink(dir / "real.ini", dir / "link.ini");
    ari::WriteProfileString(dir / "link.ini", "S", "K", "2");
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.ini"));
    EXPECT_EQ(ReadFileBytes(dir / "real.ini"), "[S]\r\nK=2\r\n");
}

TEST(ProfileFile, LineBreaksInAnEntryAreRefused) {
    TempFolder dir;
    WriteFileBytes(dir / "s.ini", "[Setting]\r\nDest=/a\r\n");
    // A value with a line break would smuggle a second key into the file.
    EXPECT_THROW(ari::WriteProfileString(dir / "s.ini", "Setting", "Dest", "/b\r\nPack=-1"),
                 EInOutError);
    EXPECT_THROW(ari::WriteProfileString(dir / "s.ini", "Setting", "A=B", "1"), EInOutError);
    EXPECT_THROW(ari::WriteProfileString(dir / "s.ini", "Se]t", "A", "1"), EInOutError);
    EXPECT_EQ(ReadFileBytes(dir / "s.ini"), "[Setting]\r\nDest=/a\r\n");
}

// ---- IniValue.

const char* const kExample =
    "[Setting]\r\n"
    "Begin=00:00:01\r\n"
    "End=06:00:00\r\n"
    "Source=/opt/maintenance/mdx/\r\n"
    "Dest=/srv/data\r\n"
    "Transfer=0\r\n"
    "Reindex=-1\r\n"
    "Pack=-1\r\n"
    "Automat=-1\r\n";

void WriteExample(const std::string& file) {
    const std::vector<std::pair<std::string, std::string>> keys = {
        {"Begin", "00:00:01"}, {"End", "06:00:00"}, {"Source", "/opt/maintenance/mdx/"},
        {"Dest", "/srv/data"}, {"Transfer", "0"},   {"Reindex", "-1"},
        {"Pack", "-1"},        {"Automat", "-1"}};
    for (const auto& [key, value] : keys) {
        std::string readBack;
        IniValue(file, "Setting", key, value, true, false, readBack);
        EXPECT_EQ(readBack, value) << key;
    }
}

TEST(IniValue, WritesTheSettingsFileByteForByteAndAgainInPlace) {
    TempFolder dir;
    const std::string file = dir / "Setting_VorelIndex.ini";
    WriteExample(file);
    EXPECT_EQ(ReadFileBytes(dir / "Setting_VorelIndex.ini"), kExample);
    WriteExample(file);
    EXPECT_EQ(ReadFileBytes(dir / "Setting_VorelIndex.ini"), kExample);
}

TEST(IniValue, KeepsOtherSectionsAndComments) {
    TempFolder dir;
    const std::string before =
        "; written by hand\r\n[Version]\r\nDbf_version=7\r\n\r\n[Setting]\r\nDest=/old\r\n"
        "Extra=kept\r\n\r\n[Tail]\r\nX=1\r\n";
    WriteFileBytes(dir / "s.ini", before);
    std::string readBack;
    const std::string file = dir / "s.ini";
    IniValue(file, "Setting", "Dest", "/new", true, false, readBack);
    IniValue(file, "Setting", "Pack", "-1", true, false, readBack);
    EXPECT_EQ(ReadFileBytes(dir / "s.ini"),
              "; written by hand\r\n[Version]\r\nDbf_version=7\r\n\r\n[Setting]\r\nDest=/new\r\n"
              "Extra=kept\r\nPack=-1\r\n\r\n[Tail]\r\nX=1\r\n");
}

TEST(IniValue, ReadsAndDeletesInTheGivenOrder) {
    TempFolder dir;
    WriteFileBytes(dir / "s.ini", "[Setting]\r\nDest = \"/a b\" \r\nPack=-1\r\n");
    const std::string file = dir / "s.ini";
    std::string value = "stale";
    IniValue(file, "setting", "DEST", "", false, false, value);
    EXPECT_EQ(value, "/a b");
    IniValue(file, "Setting", "Missing", "", false, false, value);
    EXPECT_EQ(value, "");
    // Delete: the value read is the one before the delete.
    IniValue(file, "Setting", "Pack", "ignored", true, true, value);
    EXPECT_EQ(value, "-1");
    EXPECT_EQ(ReadFileBytes(dir / "s.ini"), "[Setting]\r\nDest = \"/a b\" \r\n");
}

TEST(IniValue, ReadingAMissingFileGivesEmptyWithoutCreatingIt) {
    TempFolder dir;
    std::string value = "stale";
    IniValue(dir / "none.ini", "Setting", "Begin", "", false, false, value);
    EXPECT_EQ(value, "");
    EXPECT_FALSE(std::filesystem::exists(dir / "none.ini"));
}

TEST(IniValue, AValueWithANulCharacterIsRefused) {
    // The platform's functions would read "-1" and drop the rest without a word.
    TempFolder dir;
    const char bytes[] = "[Setting]\r\nPack=-1\0yes\r\nDest=/d\r\n";
    WriteFileBytes(dir / "s.ini", std::string(bytes, sizeof bytes - 1));
    const std::string file = dir / "s.ini";
    std::string value;
    try {
        IniValue(file, "Setting", "Pack", "", false, false, value);
        ADD_FAILURE() << "read as " << value;
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "'-1\\0yes' is not a valid value for Pack");
    }
    IniValue(file, "Setting", "Dest", "", false, false, value);
    EXPECT_EQ(value, "/d");
}

TEST(IniValue, ANewValueWithANulCharacterIsRefusedBeforeTheFileIsTouched) {
    TempFolder dir;
    const std::string before = "[Setting]\r\nPack=0\r\n";
    WriteFileBytes(dir / "s.ini", before);
    const std::string file = dir / "s.ini";
    std::string value;
    try {
        IniValue(file, "Setting", "Pack", std::string("1\0yes", 5), true, false, value);
        ADD_FAILURE() << "written";
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "'1\\0yes' is not a valid value for Pack");
    }
    EXPECT_EQ(ReadFileBytes(dir / "s.ini"), before);
}

TEST(IniValue, AFailedWriteSaysUnableToWriteToTheFile) {
    TempFolder dir;
    WriteFileBytes(dir / "plain-file", "x");
    // Tests run as root, where permissions stop nothing: use folders that cannot hold a file.
    for (const std::string& path : {dir / "missing-folder/Setting_VorelIndex.ini",
                                    dir / "plain-file/Setting_VorelIndex.ini"}) {
        std::string value;
        try {
            IniValue(path, "Setting", "Begin", "00:00:01", true, false, value);
            ADD_FAILURE() << "no error for " << path;
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), "Unable to write to " + path);
        }
    }
}

}  // namespace
