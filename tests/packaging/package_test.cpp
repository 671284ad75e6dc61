// The two Debian packages of this build (made once by the test Package.Build into
// ARI_PACKAGES_DIR): their files where the FHS puts them, the server package without a Qt
// library, the window's package on the server package of its version, lintian without an error,
// the units checked by the service manager's own verifier and sandbox rating, and both packages
// installed, upgraded, removed and purged in a scratch root, leaving nothing behind.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
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

bool StartsWith(const std::string& s, const std::string& prefix) {
    return s.rfind(prefix, 0) == 0;
}

const std::string kVersion = std::string(ARI_PROJECT_VERSION) + "-1";
const char* const kServer = "autoreindex-server";
const char* const kWindow = "autoreindex";
const char* const kUnits[] = {"autoreindex-run.service", "autoreindex-run-now.service",
                              "autoreindex-run-now.timer"};

// The package file of `name` made by Package.Build.
std::string Deb(const std::string& name) {
    return std::string(ARI_PACKAGES_DIR) + "/" + name + "_" + kVersion + "_amd64.deb";
}

// The files (not the folders) of a package, without the leading "./"; links as "path -> target".
std::set<std::string> FilesOf(const std::string& deb) {
    const Result list = Shell("dpkg-deb -c " + Q(deb));
    EXPECT_EQ(list.exitCode, 0) << list.output;
    std::set<std::string> files;
    const std::regex entry(R"((\S+)\s+\S+\s+\d+\s+\S+\s+\S+\s+\./(\S*)(?: -> (\S+))?)");
    for (const std::string& l : Lines(list.output)) {
        std::smatch m;
        EXPECT_TRUE(std::regex_match(l, m, entry)) << l;
        const std::string path = m[2];
        if (!path.empty() && path.back() != '/')
            files.insert(m[3].matched ? path + " -> " + std::string(m[3]) : path);
    }
    return files;
}

std::string Field(const std::string& deb, const std::string& field) {
    Result r = Shell("dpkg-deb -f " + Q(deb) + " " + field);
    while (!r.output.empty() && r.output.back() == '\n')
        r.output.pop_back();
    return r.output;
}

// The files under `root` (links included, folders not), relative to it, except those under
// `except` (relative too).
std::set<std::string> FilesUnder(const std::string& root, const std::string& except) {
    std::set<std::string> out;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        const std::string rel = fs::relative(it->path(), root).string();
        if (rel == except) {
            it.disable_recursion_pending();
            continue;
        }
        std::error_code ec;
        if (!it->is_directory(ec) || it->is_symlink())
            out.insert(rel);
    }
    return out;
}

TEST(Package, TheServerPackageHoldsItsFilesWhereTheFhsPutsThemAndNoQtLibrary) {
    const std::string deb = Deb(kServer);
    ASSERT_TRUE(fs::exists(deb)) << deb;
    const std::set<std::string> files = FilesOf(deb);
    for (const std::string& f : files) {
        const bool placed =
            StartsWith(f, "usr/bin/") || StartsWith(f, "usr/libexec/autoreindex/") ||
            StartsWith(f, "usr/share/autoreindex/mdx/") || StartsWith(f, "etc/autoreindex/") ||
            StartsWith(f, "lib/systemd/system/") || StartsWith(f, "usr/share/man/man1/") ||
            StartsWith(f, "usr/share/doc/autoreindex-server/");
        EXPECT_TRUE(placed) << f;
    }
    for (const char* f :
         {"usr/bin/autoreindex-run", "usr/bin/dbtool", "usr/libexec/autoreindex/quser",
          "usr/libexec/autoreindex/logoff", "etc/autoreindex/Setting_VorelIndex.ini",
          "usr/share/autoreindex/mdx/CUSTOMER.DBF", "usr/share/autoreindex/mdx/CUSTOMER.MDX",
          "usr/share/man/man1/autoreindex-run.1.gz", "usr/share/man/man1/dbtool.1.gz",
          "usr/share/doc/autoreindex-server/copyright",
          "usr/share/doc/autoreindex-server/changelog.Debian.gz"})
        EXPECT_EQ(files.count(f), 1u) << f;
    for (const char* unit : kUnits)
        EXPECT_EQ(files.count(std::string("lib/systemd/system/") + unit), 1u) << unit;
    // The session tools stay off the PATH; the window is the other package's.
    EXPECT_EQ(files.count("usr/bin/quser") + files.count("usr/bin/logoff"), 0u);
    EXPECT_EQ(files.count("usr/bin/autoreindex"), 0u);

    EXPECT_EQ(Field(deb, "Version"), kVersion);
    const std::string depends = Field(deb, "Depends");
    EXPECT_NE(depends.find("libc6"), std::string::npos) << depends;
    EXPECT_EQ(depends.find("qt"), std::string::npos) << depends;
    EXPECT_EQ(Field(deb, "Maintainer").find("root@"), std::string::npos);
    EXPECT_NE(Field(deb, "Description").find("\n ."), std::string::npos)
        << "a long description of paragraphs";

    const Result conffiles = Shell("dpkg-deb --ctrl-tarfile " + Q(deb) + " | tar -xO ./conffiles");
    EXPECT_EQ(conffiles.output, "/etc/autoreindex/Setting_VorelIndex.ini\n");
    const Result control = Shell("dpkg-deb --ctrl-tarfile " + Q(deb) + " | tar -t");
    for (const char* script : {"./postinst", "./prerm", "./postrm"})
        EXPECT_NE(control.output.find(script), std::string::npos) << script;
    EXPECT_EQ(control.output.find("preinst"), std::string::npos);
}

TEST(Package, TheWindowPackageHoldsTheWindowOnTheServerPackageOfItsVersion) {
    const std::string deb = Deb(kWindow);
    ASSERT_TRUE(fs::exists(deb)) << deb;
    const std::set<std::string> files = FilesOf(deb);
    EXPECT_EQ(files,
              (std::set<std::string>{
                  "usr/bin/autoreindex", "usr/share/applications/autoreindex.desktop",
                  "usr/share/icons/hicolor/scalable/apps/autoreindex.svg",
                  "usr/share/man/man1/autoreindex.1.gz", "usr/share/doc/autoreindex/copyright",
                  "usr/share/doc/autoreindex/changelog.Debian.gz"}));
    const std::string depends = Field(deb, "Depends");
    EXPECT_NE(depends.find(std::string(kServer) + " (= " + kVersion + ")"), std::string::npos)
        << depends;
    EXPECT_NE(depends.find("libqt6widgets6"), std::string::npos) << depends;
    const Result control = Shell("dpkg-deb --ctrl-tarfile " + Q(deb) + " | tar -t");
    EXPECT_EQ(control.output.find("inst"), std::string::npos) << control.output;
    EXPECT_EQ(control.output.find("rm"), std::string::npos) << control.output;
}

// Debian's own package checker, on both packages: no error. Its warnings and notes are printed
// for the record.
TEST(Package, LintianReportsNoErrorOnEitherPackage) {
    if (Shell("command -v lintian").exitCode != 0) {
        if (const char* ci = std::getenv("CI"); ci && std::string(ci) == "true")
            FAIL() << "lintian is not installed (scripts/setup.sh installs it)";
        GTEST_SKIP() << "lintian is not installed (scripts/setup.sh installs it)";
    }
    const Result checked = Shell("lintian --info " + Q(Deb(kServer)) + " " + Q(Deb(kWindow)));
    std::string errors;
    for (const std::string& l : Lines(checked.output)) {
        if (StartsWith(l, "E: "))
            errors += l + '\n';
        else if (StartsWith(l, "W: ") || StartsWith(l, "I: "))
            std::cout << "lintian: " << l << '\n';
    }
    EXPECT_EQ(errors, "") << checked.output;
    EXPECT_EQ(checked.exitCode, 0) << checked.output;
}

// The units with their programs in a scratch root, through the service manager's verifier, and
// the sandbox's exposure as it rates it ("OK" is below 5.0; root without a sandbox is 9.6).
TEST(Package, TheUnitsPassTheVerifierAndTheirSandboxIsRatedSafe) {
    if (Shell("command -v systemd-analyze").exitCode != 0)
        GTEST_SKIP() << "no systemd-analyze";
    TempFolder dir;
    const std::string root = dir / "root";
    ASSERT_EQ(Shell("dpkg-deb -x " + Q(Deb(kServer)) + " " + Q(root)).exitCode, 0);
    std::string paths;
    for (const char* unit : kUnits) {
        std::string text = ReadFileBytes(root + "/lib/systemd/system/" + unit);
        const std::string program = "/usr/bin/autoreindex-run";
        for (size_t at = 0; (at = text.find(program, at)) != std::string::npos;
             at += root.size() + program.size())
            text.replace(at, 0, root);
        WriteFileBytes(dir / unit, text);
        paths += " " + Q(dir / unit);
    }
    const Result verified = Shell("systemd-analyze verify --man=no" + paths);
    EXPECT_EQ(verified.exitCode, 0) << verified.output;
    EXPECT_EQ(verified.output, "") << verified.output;

    for (const char* unit : {"autoreindex-run.service", "autoreindex-run-now.service"}) {
        const Result rated = Shell("systemd-analyze security --offline=yes --no-pager " +
                                   Q(root + "/lib/systemd/system/" + unit));
        std::smatch m;
        const std::regex level(R"(Overall exposure level for \S+: (\d+\.\d) (\S+))");
        if (!std::regex_search(rated.output, m, level)) {
            if (rated.output.find("offline") != std::string::npos)
                GTEST_SKIP() << "this systemd-analyze rates no unit file: " << rated.output;
            FAIL() << rated.output;
        }
        std::cout << unit << ": exposure " << m[1] << " " << m[2] << '\n';
        EXPECT_LT(std::stod(m[1]), 3.0) << rated.output;
        EXPECT_EQ(m[2], "OK") << rated.output;
    }
}

// An empty dpkg database under `root`; the dpkg command line that installs into it, running the
// maintainer scripts without a chroot.
std::string ScratchDpkg(const std::string& root) {
    fs::create_directories(root + "/var/lib/dpkg/info");
    fs::create_directories(root + "/var/lib/dpkg/updates");
    WriteFileBytes(root + "/var/lib/dpkg/status", "");
    return "dpkg --root=" + Q(root) +
           " --force-script-chrootless --force-depends --force-not-root --log=/dev/null";
}

// Both packages into a scratch dpkg root, the maintainer scripts run without a chroot (as dpkg
// runs them for a root that is not the running system: DPKG_ROOT names it, and no service
// manager is asked to do anything): installed, installed again (an upgrade), the timer enabled
// by the administrator, the programs' journal and run state written; then removed (the settings
// file, the journal and the timer's link stay) and purged (nothing stays at all).
TEST(Package, InstalledUpgradedRemovedAndPurgedInAScratchRootLeaveNothing) {
    TempFolder dir;
    const std::string root = dir / "root";
    const std::string dpkg = ScratchDpkg(root);
    const std::string both = " " + Q(Deb(kServer)) + " " + Q(Deb(kWindow));

    Result r = Shell(dpkg + " -i" + both);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    for (const char* f :
         {"/usr/bin/autoreindex", "/usr/bin/autoreindex-run", "/usr/bin/dbtool",
          "/usr/libexec/autoreindex/quser", "/etc/autoreindex/Setting_VorelIndex.ini",
          "/usr/share/autoreindex/mdx/CUSTOMER.DBF"})
        EXPECT_TRUE(fs::exists(root + f)) << f;
    // The folders the programs write, made by the server package's postinst.
    EXPECT_TRUE(fs::is_directory(root + "/var/lib/autoreindex"));
    EXPECT_TRUE(fs::is_directory(root + "/var/log/autoreindex"));
    EXPECT_EQ(fs::status(root + "/var/log/autoreindex").permissions() & fs::perms::others_all,
              fs::perms::none);
    // Not enabled at installation: the settings file names no live folder yet.
    EXPECT_FALSE(fs::exists(root + "/etc/systemd/system/multi-user.target.wants"));

    // The administrator enables the timer, as "systemctl enable" makes its link.
    const std::string wants = root + "/etc/systemd/system/timers.target.wants";
    fs::create_directories(wants);
    fs::create_symlink("/lib/systemd/system/autoreindex-run-now.timer",
                       wants + "/autoreindex-run-now.timer");
    // An upgrade (the same version again) keeps the administrator's choice.
    r = Shell(dpkg + " -i" + both);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(fs::is_symlink(wants + "/autoreindex-run-now.timer"));

    // What the programs write while installed: the journal, its older file and the writers'
    // lock; the day of the last pass; the administrator's settings.
    const std::string log = root + "/var/log/autoreindex/";
    const std::string state = root + "/var/lib/autoreindex/";
    for (const std::string& f : {log + "autoreindex.log", log + "autoreindex.log.1",
                                 log + ".autoreindex.log.lock", state + "reindexed"})
        WriteFileBytes(f, "written\n");
    WriteFileBytes(root + "/etc/autoreindex/Setting_VorelIndex.ini", "[Setting]\nDest=/srv/t/\n");

    r = Shell(dpkg + " -r " + kWindow + " " + kServer);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_FALSE(fs::exists(root + "/usr/bin/autoreindex-run"));
    EXPECT_FALSE(fs::exists(root + "/usr/share/autoreindex"));
    EXPECT_EQ(ReadFileBytes(root + "/etc/autoreindex/Setting_VorelIndex.ini"),
              "[Setting]\nDest=/srv/t/\n");
    EXPECT_EQ(ReadFileBytes(log + "autoreindex.log"), "written\n");
    EXPECT_TRUE(fs::is_symlink(wants + "/autoreindex-run-now.timer"));

    r = Shell(dpkg + " -P " + kWindow + " " + kServer);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(FilesUnder(root, "var/lib/dpkg"), std::set<std::string>{});
    EXPECT_FALSE(fs::exists(root + "/var/log/autoreindex"));
    EXPECT_FALSE(fs::exists(root + "/var/lib/autoreindex"));
    EXPECT_FALSE(fs::exists(root + "/etc/autoreindex"));
}

// A purge removes only the names the programs give their files: anything else put into their
// folders stays, and so does the folder.
TEST(Package, APurgeLeavesWhatThePackageDidNotMake) {
    TempFolder dir;
    const std::string root = dir / "root";
    const std::string dpkg = ScratchDpkg(root);
    Result r = Shell(dpkg + " -i " + Q(Deb(kServer)));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    WriteFileBytes(root + "/var/lib/autoreindex/reindexing", "");
    WriteFileBytes(root + "/var/lib/autoreindex/ORDERS.DBF", "a table put here by hand");
    WriteFileBytes(root + "/var/log/autoreindex/autoreindex.log", "written\n");
    r = Shell(dpkg + " -P " + kServer);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(FilesUnder(root, "var/lib/dpkg"),
              std::set<std::string>{"var/lib/autoreindex/ORDERS.DBF"});
}

}  // namespace
