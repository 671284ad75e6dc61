#include "tests/engine/EngineTestSupport.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "platform/Env.h"
#include "tests/support/TestFolders.h"

namespace ari::test {

std::string ShellQuote(const std::string& text) {
    std::string q = "'";
    for (char c : text) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

CommandResult RunCommand(const std::string& commandLine) {
    CommandResult r;
#ifdef _WIN32
    FILE* p = ::_popen(commandLine.c_str(), "rb");
#else
    FILE* p = ::popen(commandLine.c_str(), "r");
#endif
    if (!p)
        return r;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        r.output.append(buf, n);
#ifdef _WIN32
    const int status = ::_pclose(p);
#else
    const int status = ::pclose(p);
#endif
#ifdef _WIN32
    r.exitCode = status;
#else
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
    return r;
}

bool PythonModuleAvailable(const std::string& module) {
    return RunCommand("/usr/bin/python3 -c 'import " + module + "' 2>/dev/null").exitCode == 0;
}

bool PerlXBaseAvailable() {
    return RunCommand("perl -MXBase -e 1 2>/dev/null").exitCode == 0;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos)
            nl = text.size();
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

static std::vector<std::string> RunReader(const std::string& args) {
    const auto r = RunCommand(
        "/usr/bin/python3 " +
        ShellQuote(std::string(ARI_SOURCE_DIR) + "/tests/engine/dbfread_records.py") + " " + args);
    if (r.exitCode != 0)
        throw std::runtime_error("dbfread_records.py failed: " + args);
    return SplitLines(r.output);
}

std::vector<std::string> DbfreadRecords(const std::string& tablePath) {
    return RunReader(ShellQuote(tablePath));
}

std::vector<std::string> DbfreadInfo(const std::string& tablePath) {
    return RunReader("--info " + ShellQuote(tablePath));
}

void MakeDbase3MemoTable(const std::string& path, int records, int deleteEvery) {
    const std::string script =
        "import dbf, sys\n"
        "t = dbf.Table(sys.argv[1], 'NAME C(20); AMOUNT N(10,2); BORN D; OK L; NOTES M', "
        "dbf_type='db3')\n"
        "t.open(dbf.READ_WRITE)\n"
        "n, every = int(sys.argv[2]), int(sys.argv[3])\n"
        "for i in range(n):\n"
        "    t.append(('name%d' % i, i * 1.5, dbf.Date(2020, 1 + i % 12, 1 + i % 28), i % 2 == 0,\n"
        "              ('memo %d ' % i) * (i * 37 % 200)))\n"
        "for i, r in enumerate(t):\n"
        "    if every and i % every == 0:\n"
        "        dbf.delete(r)\n"
        "t.close()\n";
    const auto r = RunCommand("/usr/bin/python3 -c " + ShellQuote(script) + " " + ShellQuote(path) +
                              " " + std::to_string(records) + " " + std::to_string(deleteEvery));
    if (r.exitCode != 0)
        throw std::runtime_error("python3-dbf could not make " + path);
}

void MakeDbase4MemoTable(const std::string& path, int records, int deleteEvery) {
    const std::string script =
        "use XBase;\n"
        "my ($name, $n, $every) = @ARGV;\n"
        "my $t = XBase->create(name => $name, field_names => ['NAME','AMOUNT','NOTES'],\n"
        "  field_types => ['C','N','M'], field_lengths => [20,10,10], field_decimals => [0,2,0],\n"
        "  version => 4) or die XBase->errstr;\n"
        "for my $i (0 .. $n - 1) {\n"
        "  $t->set_record($i, \"name$i\", $i * 1.5, (\"memo $i \" x ($i * 53 % 300))) or die "
        "$t->errstr;\n"
        "}\n"
        "for my $i (0 .. $n - 1) { $t->delete_record($i) if $every && $i % $every == 0; }\n"
        "$t->close;\n"
        // XBase stamps 0x84 (its own numbering); the files are dBASE IV layout: mark them so.
        "open(my $f, '+<', $name) or die; binmode $f; seek($f, 0, 0); print $f chr(0x8B); close "
        "$f;\n";
    // XBase derives the memo name by appending ".dbt" to anything but a lower-case ".dbf":
    // make the pair under a plain name, then give it the wanted one.
    const std::string folder = path.substr(0, path.rfind('/') + 1);
    const std::string stem = path.substr(0, path.rfind('.'));
    const auto r =
        RunCommand("perl -e " + ShellQuote(script) + " " + ShellQuote(folder + "xbase_made.dbf") +
                   " " + std::to_string(records) + " " + std::to_string(deleteEvery));
    if (r.exitCode != 0 || std::rename((folder + "xbase_made.dbf").c_str(), path.c_str()) != 0 ||
        std::rename((folder + "xbase_made.dbt").c_str(), (stem + ".dbt").c_str()) != 0)
        throw std::runtime_error("Perl XBase could not make " + path);
}

#ifdef _WIN32
// No fork here: the Windows tests end a pack part way in a helper program of their own
// (tests/win32/table_helper.cpp) instead.
void PackInADyingProcess(ari::Env&, const std::function<void()>&) {
    GTEST_SKIP() << "a pack in a dying child process needs fork; the Windows tests use their "
                    "helper program";
}
#else
void PackInADyingProcess(ari::Env& env, const std::function<void()>& pack) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const ari::ScopedEnvForTesting installed(&env);
        try {
            pack();
        } catch (...) {
        }
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 9);
}

#endif

}  // namespace ari::test
