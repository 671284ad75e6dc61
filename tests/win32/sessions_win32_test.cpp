// The Windows stand-ins of quser and logoff (sessions/standins/, for systems without the real
// tools: Wine), started as the session monitor starts them (hidden, output through a pipe) and
// read by the monitor's own parser. The real tools of a terminal server are not tested here.
#include <gtest/gtest.h>
#include <windows.h>

#include "platform/Environment.h"
#include "platform/Text.h"
#include "sessions/SessionListing.h"
#include "tests/support/TestFolders.h"

namespace {

std::wstring Wide(const std::string& utf8) {
    const std::u16string u = ari::Utf16FromUtf8(utf8);
    return std::wstring(u.begin(), u.end());
}

std::string Tool(const char* name) {
    return ari::test::WindowsName(ARI_TOOLS_BIN_DIR) + "\\" + name;
}

// What a started tool printed, or nothing when it could not be started.
std::optional<std::string> RunTool(const char* tool, const std::string& parameters) {
    auto output = ari::DefaultEnvironment().starter->StartReadingOutput(Tool(tool), parameters);
    if (!output)
        return std::nullopt;
    EXPECT_TRUE(ari::test::WaitUntil([&] { return output->Ended(); }));
    return output->Take();
}

}  // namespace

TEST(WindowsSessionTools, TheListingReadsBackAndOnlyADisconnectedSessionIsLoggedOff) {
    const ari::test::TempFolder dir;
    const std::string file = dir / "sessions.txt";
    ari::test::WriteFileBytes(file,
                              "2|administrator|rdp-tcp#3|Active|.|10/12/2026 07:05|*\n"
                              "5|\xd8\xb9\xd9\x84\xdb\x8c|rdp-tcp#7|Disc|75|09/12/2026 18:40\n"
                              "12|clerk||Disc|3000|01/12/2026 08:00\n");
    ASSERT_TRUE(::SetEnvironmentVariableW(L"ARI_SESSIONS_FILE", Wide(file).c_str()));
    const auto text = RunTool("quser", "/server:127.0.0.1");
    ASSERT_TRUE(text.has_value());
    const auto listing =
        ari::ParseSessionListing(ari::SplitListingLines(ari::DecodeListingText(*text)));
    ASSERT_EQ(listing.rows.size(), 3u) << *text;
    EXPECT_EQ(ari::TrimBlanks(listing.rows[1].userName), "\xd8\xb9\xd9\x84\xdb\x8c");
    EXPECT_EQ(ari::TrimBlanks(listing.rows[2].id), "12");
    std::vector<std::string> logoffs;
    for (int row : listing.logoffRows)
        logoffs.push_back(ari::LogoffParameters(listing.rows[static_cast<size_t>(row)]));
    EXPECT_EQ(logoffs.size(), 2u);

    // An active session stays; a disconnected one goes.
    EXPECT_TRUE(RunTool("logoff", "2 /server:127.0.0.1").has_value());
    EXPECT_TRUE(RunTool("logoff", "5 /server:127.0.0.1").has_value());
    const auto after = RunTool("quser", "");
    ASSERT_TRUE(after.has_value());
    const auto rows =
        ari::ParseSessionListing(ari::SplitListingLines(ari::DecodeListingText(*after))).rows;
    ASSERT_EQ(rows.size(), 2u) << *after;
    EXPECT_EQ(ari::TrimBlanks(rows[0].id), "2");
    EXPECT_EQ(ari::TrimBlanks(rows[1].id), "12");
    ::SetEnvironmentVariableW(L"ARI_SESSIONS_FILE", nullptr);
}
