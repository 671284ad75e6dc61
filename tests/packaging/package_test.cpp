// The Debian package of this build: its files, its links onto the path, its units (checked by
// systemd-analyze where it is installed), its configuration file; installed into a scratch root
// and removed again, the settings file and the run journal stay.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <regex>
#include <set>

#include "tests/support/TestFolders.h"

namespace {

namespace fs = std::filesystem;
using ari::test::ReadFileBytes;
using ari::test::TempFolder;
using ari::test::WriteFileBytes;

struct Result {
    int exitCode = -1;
    std::string output;
};

Result Shell(const std::string& commandLine) {
    Result r;
    FILE* p = popen((commandLine + " 2>&1").c_str(), "r");
    if (!p)
        return r;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        r.output.append(buf, n);
    const int status = pclose(p);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::string Q(const std::string& s) {
    return "'" + s + "'";
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

const char* const kUnits[] = {"autoreindex-run.service", "autoreindex-run-now.service",
                              "autoreindex-run-now.timer"};

TEST(Package, HoldsTheProgramFolderTheUnitsAndThePathLinksAndNothingElse) {
    TempFolder dir;
    const std::string buildDir = fs::path(ARI_BIN_DIR).parent_path().string();
    const Result made = Shell("cpack -G DEB -B " + Q(dir / "out") + " --config " +
                              Q(buildDir + "/CPackConfig.cmake"));
    ASSERT_EQ(made.exitCode, 0) << made.output;
    std::string deb;
    for (const auto& e : fs::directory_iterator(dir / "out"))
        if (e.path().extension() == ".deb")
            deb = e.path().string();
    ASSERT_FALSE(deb.empty()) << made.output;

    // The file list: every entry under the program folder, the unit folder or the two links.
    const Result list = Shell("dpkg-deb -c " + Q(deb));
    ASSERT_EQ(list.exitCode, 0) << list.output;
    std::set<std::string> files;
    const std::regex entry(R"((\S+)\s+\S+\s+\d+\s+\S+\s+\S+\s+\./(\S*)(?: -> (\S+))?)");
    for (const std::string& l : Lines(list.output)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, entry)) << l;
        const std::string path = m[2];
        if (path.empty() || path.back() == '/')
            continue;
        files.insert(path);
        const bool placed = path.rfind("opt/autoreindex/", 0) == 0 ||
                            path.rfind("lib/systemd/system/", 0) == 0 || path == "usr/bin/dbtool" ||
                            path == "usr/bin/autoreindex-run";
        EXPECT_TRUE(placed) << path;
    }
    for (const char* f :
         {"opt/autoreindex/autoreindex", "opt/autoreindex/autoreindex-run",
          "opt/autoreindex/dbtool", "opt/autoreindex/quser", "opt/autoreindex/logoff",
          "opt/autoreindex/Setting_VorelIndex.ini", "opt/autoreindex/mdx/CUSTOMER.DBF",
          "opt/autoreindex/mdx/CUSTOMER.MDX", "usr/bin/dbtool", "usr/bin/autoreindex-run"})
        EXPECT_EQ(files.count(f), 1u) << f;
    for (const char* unit : kUnits)
        EXPECT_EQ(files.count(std::string("lib/systemd/system/") + unit), 1u) << unit;
    EXPECT_EQ(files.count("opt/autoreindex/reindexing"), 0u);  // no marker, no journal shipped
    EXPECT_EQ(files.count("opt/autoreindex/autoreindex.log"), 0u);

    // The settings file is a configuration file: removing the package leaves it.
    const Result conffiles = Shell("dpkg-deb --ctrl-tarfile " + Q(deb) + " | tar -xO ./conffiles");
    EXPECT_EQ(conffiles.output, "/opt/autoreindex/Setting_VorelIndex.ini\n");
    // No script runs at installation (none could create anything in a live folder).
    const Result control = Shell("dpkg-deb --ctrl-tarfile " + Q(deb) + " | tar -t");
    for (const char* script : {"preinst", "postinst", "prerm", "postrm"})
        EXPECT_EQ(control.output.find(script), std::string::npos) << script;

    // Unpacked into a scratch root: the links lead to the programs, which run from there.
    const std::string root = dir / "root";
    ASSERT_EQ(Shell("dpkg-deb -x " + Q(deb) + " " + Q(root)).exitCode, 0);
    EXPECT_TRUE(fs::is_symlink(root + "/usr/bin/dbtool"));
    EXPECT_EQ(fs::canonical(root + "/usr/bin/autoreindex-run"),
              fs::canonical(root + "/opt/autoreindex/autoreindex-run"));
    const Result help = Shell(Q(root + "/usr/bin/autoreindex-run") + " --help");
    EXPECT_EQ(help.exitCode, 0) << help.output;
    EXPECT_NE(help.output.find("--schedule"), std::string::npos);

    // The units, checked by the service manager's own verifier with their programs in the
    // scratch root.
    if (Shell("command -v systemd-analyze").exitCode == 0) {
        std::string paths;
        for (const char* unit : kUnits) {
            std::string text = ReadFileBytes(root + "/lib/systemd/system/" + unit);
            for (size_t at = 0; (at = text.find("/opt/autoreindex", at)) != std::string::npos;
                 at += root.size() + 1)
                text.replace(at, 0, root);
            WriteFileBytes(dir / unit, text);
            paths += " " + Q(dir / unit);
        }
        const Result verified = Shell("systemd-analyze verify" + paths);
        EXPECT_EQ(verified.exitCode, 0) << verified.output;
        EXPECT_EQ(verified.output, "") << verified.output;
    }

    // Installed into and removed from a scratch dpkg root: the settings file and the journal
    // written meanwhile stay, the programs go.
    const std::string droot = dir / "dpkg";
    fs::create_directories(droot + "/var/lib/dpkg/info");
    fs::create_directories(droot + "/var/lib/dpkg/updates");
    WriteFileBytes(droot + "/var/lib/dpkg/status", "");
    const std::string dpkg = "dpkg --root=" + Q(droot) + " --force-depends --force-not-root";
    const Result installed = Shell(dpkg + " -i " + Q(deb));
    ASSERT_EQ(installed.exitCode, 0) << installed.output;
    EXPECT_TRUE(fs::exists(droot + "/opt/autoreindex/autoreindex-run"));
    WriteFileBytes(droot + "/opt/autoreindex/autoreindex.log", "a journal line\n");
    const Result removed = Shell(dpkg + " -r autoreindex");
    ASSERT_EQ(removed.exitCode, 0) << removed.output;
    EXPECT_FALSE(fs::exists(droot + "/opt/autoreindex/autoreindex-run"));
    EXPECT_FALSE(fs::exists(droot + "/usr/bin/dbtool"));
    EXPECT_TRUE(fs::exists(droot + "/opt/autoreindex/Setting_VorelIndex.ini"));
    EXPECT_EQ(ReadFileBytes(droot + "/opt/autoreindex/autoreindex.log"), "a journal line\n");
}

}  // namespace
