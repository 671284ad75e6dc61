#include "tests/support/TestFolders.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include "platform/Env.h"
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace ari::test {

#ifdef _WIN32
TempFolder::TempFolder() {
    // The system's temporary folder as UTF-8 (the narrow form would be the ANSI code page's).
    const std::u8string temp = std::filesystem::temp_directory_path().u8string();
    std::string prefix(temp.begin(), temp.end());
    if (!prefix.empty() && prefix.back() != '\\')
        prefix += '\\';
    path_ = ari::Env::Default()->MakeUniqueFolder(prefix + "ari-test-");
    if (path_.empty())
        throw std::runtime_error("MakeUniqueFolder failed");
    path_ += "\\";
}
#else
TempFolder::TempFolder() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "ari-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = tmpl + "/";
}
#endif

namespace {

// With ARI_KEEP_TABLES naming a folder, every table, index and memo file a test leaves behind is
// copied there (under the test's name) before its folder goes, so that two builds can be checked
// to write the same bytes.
void KeepTableFiles(const std::string& folder) {
    const char* keep = std::getenv("ARI_KEEP_TABLES");
    if (!keep || !*keep)
        return;
    static int folders = 0;
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string test = info ? std::string(info->test_suite_name()) + "." + info->name() : "outside";
    for (char& c : test)
        if (c == '/')
            c = '_';
    const std::filesystem::path into =
        std::filesystem::path(keep) / test / std::to_string(folders++);
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_regular_file(ec) || it->is_symlink(ec))
            continue;
        std::string ext = it->path().extension().string();
        for (char& c : ext)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (ext != ".dbf" && ext != ".mdx" && ext != ".dbt")
            continue;
        const std::filesystem::path to = into / std::filesystem::relative(it->path(), folder, ec);
        std::filesystem::create_directories(to.parent_path(), ec);
        std::filesystem::copy_file(it->path(), to,
                                   std::filesystem::copy_options::overwrite_existing, ec);
    }
}

}  // namespace

TempFolder::~TempFolder() {
    KeepTableFiles(path_);
    std::error_code ec;
    // Make read-only fixtures removable again.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
    }
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

std::vector<std::string> FileNamesIn(const std::string& folder) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(folder, ec))
        out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

#ifdef _WIN32
std::string WindowsName(const std::string& unixPath) {
    std::string out = "Z:" + unixPath;
    for (char& c : out)
        if (c == '/')
            c = '\\';
    return out;
}

int DbtoolCheck(const std::string& table) {
    const std::string cmd =
        "\"\"" + WindowsName(ARI_BIN_DIR) + "\\dbtool.exe\" check \"" + table + "\" >NUL 2>&1\"";
    return std::system(cmd.c_str());
}
#else
int DbtoolCheck(const std::string& table) {
    std::string quoted = "'";
    for (char c : table)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    quoted += "'";
    const std::string cmd =
        std::string(ARI_BIN_DIR) + "/dbtool check " + quoted + " >/dev/null 2>&1";
    const int status = std::system(cmd.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

namespace {
// A UTF-8 name as a path of the file system library (on Windows the narrow form would be read in
// the ANSI code page).
std::filesystem::path FsPath(const std::string& utf8) {
#ifdef _WIN32
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
#else
    return std::filesystem::path(utf8);
#endif
}
}  // namespace

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(FsPath(path), std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(FsPath(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool WaitUntil(const std::function<bool()>& condition) {
    for (int i = 0; i < 1000; ++i) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

bool WaitForFile(const std::string& path) {
    return WaitUntil([&] { return std::filesystem::is_regular_file(path); });
}

std::string SamplesDir() {
    std::string dir;
#ifdef ARI_SAMPLES_DIR
    dir = ARI_SAMPLES_DIR;
#endif
    if (const char* named = std::getenv("ARI_SAMPLES_DIR"); named && *named)
        dir = named;
#ifdef _WIN32
    if (!dir.empty() && dir.front() == '/')
        dir = WindowsName(dir);
    if (!dir.empty() && std::filesystem::is_directory(dir))
        return dir + "\\";
#else
    if (!dir.empty() && std::filesystem::is_directory(dir))
        return dir + "/";
#endif
    // A green CI run must mean that the tests of other programs' files ran.
    if (const char* ci = std::getenv("CI"); ci && std::string(ci) == "true")
        ADD_FAILURE() << "the samples folder " << (dir.empty() ? "(none)" : dir)
                      << " is absent, and a CI run (CI=true) does not skip the tests that read it";
    return {};
}

}  // namespace ari::test
