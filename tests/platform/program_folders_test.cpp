// The two layouts of the programs' own files: installed for the package's program folders only,
// beside the program for every other folder.
#include <gtest/gtest.h>

#include "platform/ProgramFolders.h"

namespace {

TEST(ProgramFolders, InstalledOnlyForThePackagesProgramFolders) {
    struct Case {
        const char* programFolder;
        bool installed;
    };
    const Case cases[] = {
        {"/usr/bin/", true},
        {"/usr/libexec/autoreindex/", true},
        {"/usr/bin", true},  // a folder text without its separator
        {"/usr/local/bin/", false},
        {"/opt/autoreindex/", false},
        {"/home/op/src/build/bin/", false},
        {"/tmp/root/usr/bin/", false},  // a scratch root or a staged package
        {"/usr/bin/autoreindex/", false},
        {"/usr/libexec/", false},
        {"", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.programFolder);
        const ari::ProgramFolders f = ari::ProgramFoldersFor(c.programFolder);
        EXPECT_EQ(f.installed, c.installed);
        if (c.installed) {
            EXPECT_EQ(f.settingsFile, "/etc/autoreindex/Setting_VorelIndex.ini");
            EXPECT_EQ(f.templateFolder, "/usr/share/autoreindex/mdx/");
            EXPECT_EQ(f.stateFolder, "/var/lib/autoreindex/");
            EXPECT_EQ(f.journalFolder, "/var/log/autoreindex/");
            EXPECT_EQ(f.toolFolder, "/usr/libexec/autoreindex/");
        } else {
            const std::string beside = c.programFolder;
            EXPECT_EQ(f.settingsFile, beside + "Setting_VorelIndex.ini");
            EXPECT_EQ(f.templateFolder, beside + "mdx/");
            EXPECT_EQ(f.stateFolder, beside);
            EXPECT_EQ(f.journalFolder, beside);
            EXPECT_EQ(f.toolFolder, beside);
        }
    }
}

}  // namespace
