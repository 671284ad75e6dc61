// A temporary folder per test, removed at the end of the test.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace ari::test {

class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // The folder path with a trailing separator.
    const std::string& Path() const { return path_; }
    // Path() + name.
    std::string operator/(const std::string& name) const { return path_ + name; }

  private:
    std::string path_;
};

std::string ReadFileBytes(const std::string& path);
// The names in `folder` (not below it), sorted; none when it cannot be listed.
std::vector<std::string> FileNamesIn(const std::string& folder);
// The exit code of `dbtool check` (the program built beside the others) for `table`; -1 when it
// did not end normally. Its output is dropped.
int DbtoolCheck(const std::string& table);
void WriteFileBytes(const std::string& path, const std::string& bytes);
// Polls `condition` every 10 ms for up to ten seconds; true as soon as it holds.
bool WaitUntil(const std::function<bool()>& condition);
// Waits up to ten seconds for a regular file at `path`.
bool WaitForFile(const std::string& path);
// The samples folder of files made by other programs, with a trailing separator: the folder
// that the environment variable ARI_SAMPLES_DIR names, else the one beside the project. "" when
// it is not there, and the tests that need it skip; but when the environment variable CI is
// "true", a missing folder also fails the running test.
std::string SamplesDir();

#ifdef _WIN32
// The Windows name (under Wine's drive Z:) of a folder of the build machine: "Z:\\work\\...".
std::string WindowsName(const std::string& unixPath);
#endif

}  // namespace ari::test
