// Windows implementation of the hidden program start (CreateProcessW with
// no window; handles are inherited only where a pipe is handed over, and then only that pipe).
#include "platform/win32/Win32.h"

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/Environment.h"
#include "platform/Files.h"

namespace ari {

namespace {

bool HasExtension(const std::string& file) {
    const std::string name = ExtractFileName(file);
    return name.find('.') != std::string::npos;
}

// `candidate`, or `candidate` + ".exe" when it has no extension, when that is a regular file.
std::string Existing(const std::string& candidate) {
    if (FileExists(candidate))
        return candidate;
    if (!HasExtension(candidate) && FileExists(candidate + ".exe"))
        return candidate + ".exe";
    return {};
}

// The absolute folders of PATH. Relative entries are dropped: they name the current folder,
// which is the (writable) table folder after a run, and nothing there may be started in place
// of a tool.
std::vector<std::string> SearchFolders() {
    std::vector<std::string> out;
    const DWORD need = ::GetEnvironmentVariableW(L"PATH", nullptr, 0);
    if (need == 0)
        return out;
    std::wstring value(need, L'\0');
    const DWORD n = ::GetEnvironmentVariableW(L"PATH", value.data(), need);
    value.resize(n);
    const std::string dirs = win32::Utf8(value);
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(';', start);
        if (end == std::string::npos)
            end = dirs.size();
        const std::string dir = dirs.substr(start, end - start);
        if (IsAbsolutePath(dir))
            out.push_back(dir);
        start = end + 1;
    }
    return out;
}

// Finds `file` beside the executable, then in the search folders; "" when nowhere. The current
// folder is never searched (the system's own search would look there first).
std::string LocateProgram(const std::string& file) {
    if (file.empty())
        return {};
    if (file.find_first_of("\\/:") != std::string::npos)
        return Existing(file);
    const std::string beside = Existing(ExtractFilePath(ExecutablePath()) + file);
    if (!beside.empty())
        return beside;
    for (const std::string& dir : SearchFolders()) {
        const std::string candidate = Existing(WithTrailingSeparator(dir) + file);
        if (!candidate.empty())
            return candidate;
    }
    return {};
}

// One argument as the C runtime's parser reads it back (backslashes doubled before a quote).
std::wstring QuotedArgument(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return arg;
    std::wstring out = L"\"";
    for (size_t i = 0;; ++i) {
        size_t backslashes = 0;
        while (i < arg.size() && arg[i] == L'\\') {
            ++backslashes;
            ++i;
        }
        if (i == arg.size()) {
            out.append(backslashes * 2, L'\\');
            break;
        }
        if (arg[i] == L'"')
            out.append(backslashes * 2 + 1, L'\\');
        else
            out.append(backslashes, L'\\');
        out += arg[i];
    }
    return out + L"\"";
}

// Starts `program` with `commandLine`, no window, in the current folder. `output`, when given,
// becomes the program's standard output, and is the only handle it inherits. True when the
// program was started.
bool StartHidden(const std::wstring& program, std::wstring commandLine, HANDLE output,
                 bool errorsToo = false) {
    STARTUPINFOEXW si{};
    si.StartupInfo.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::vector<unsigned char> attributeBuffer;
    HANDLE nul = INVALID_HANDLE_VALUE;
    BOOL inherit = FALSE;
    DWORD flags = CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT;
    HANDLE inherited[2];
    if (output) {
        SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
        nul = ::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
        if (nul == INVALID_HANDLE_VALUE)
            return false;
        ::SetHandleInformation(output, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
        inherited[0] = output;
        inherited[1] = nul;
        SIZE_T size = 0;
        ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        attributeBuffer.resize(size);
        si.lpAttributeList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributeBuffer.data());
        if (!::InitializeProcThreadAttributeList(si.lpAttributeList, 1, 0, &size) ||
            !::UpdateProcThreadAttribute(si.lpAttributeList, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                         inherited, sizeof inherited, nullptr, nullptr)) {
            ::CloseHandle(nul);
            return false;
        }
        si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        si.StartupInfo.hStdInput = nul;
        si.StartupInfo.hStdOutput = output;
        si.StartupInfo.hStdError = errorsToo ? output : nul;
        inherit = TRUE;
        flags |= EXTENDED_STARTUPINFO_PRESENT;
    }
    const BOOL ok = ::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, inherit,
                                     flags, nullptr, nullptr, &si.StartupInfo, &pi);
    if (si.lpAttributeList)
        ::DeleteProcThreadAttributeList(si.lpAttributeList);
    if (nul != INVALID_HANDLE_VALUE)
        ::CloseHandle(nul);
    if (!ok)
        return false;
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    return true;
}

std::wstring CommandLineOf(const std::string& file, const std::string& parameters) {
    std::wstring line = QuotedArgument(win32::WideText(file));
    for (const auto& a : SplitParameters(parameters))
        line += L" " + QuotedArgument(win32::WideText(a));
    return line;
}

class WindowsStarter final : public ProcessStarter {
  public:
    bool Start(const std::string& file, const std::string& parameters) override {
        if (file == "cmd") {
            // "/c LINE": the rest of the text is one command line for the system's shell.
            const auto first = parameters.find_first_not_of(' ');
            if (first == std::string::npos)
                return false;
            const std::string text = parameters.substr(first);
            if (text.size() < 2 || (text.compare(0, 2, "/c") != 0 && text.compare(0, 2, "/C") != 0))
                return false;
            wchar_t system[MAX_PATH];
            const UINT n = ::GetSystemDirectoryW(system, MAX_PATH);
            if (n == 0 || n >= MAX_PATH)
                return false;
            const std::wstring shell = std::wstring(system, n) + L"\\cmd.exe";
            return StartHidden(shell, L"cmd.exe /c " + win32::WideText(text.substr(2)), nullptr);
        }
        const std::string program = LocateProgram(file);
        if (program.empty())
            return false;
        return StartHidden(win32::WideName(program), CommandLineOf(file, parameters), nullptr);
    }

    std::unique_ptr<ProgramOutput> StartReadingOutput(const std::string& file,
                                                      const std::string& parameters) override {
        return StartPiped(file, parameters, false);
    }

    std::unique_ptr<ProgramOutput> StartReadingOutputAndErrors(
        const std::string& file, const std::string& parameters) override {
        return StartPiped(file, parameters, true);
    }

  private:
    std::unique_ptr<ProgramOutput> StartPiped(const std::string& file,
                                              const std::string& parameters, bool errorsToo) {
        const std::string program = LocateProgram(file);
        if (program.empty())
            return nullptr;
        HANDLE readEnd = nullptr, writeEnd = nullptr;
        if (!::CreatePipe(&readEnd, &writeEnd, nullptr, 0))
            return nullptr;
        // Once the start is done only the program holds the writing end, so the pipe ends
        // when the program closes its output.
        const bool started = StartHidden(win32::WideName(program), CommandLineOf(file, parameters),
                                         writeEnd, errorsToo);
        ::CloseHandle(writeEnd);
        if (!started) {
            ::CloseHandle(readEnd);
            return nullptr;
        }
        return std::make_unique<ProgramOutput>(win32::AdoptHandle(readEnd));
    }
};

}  // namespace

ProcessStarter* PlatformStarter() {
    static WindowsStarter starter;
    return &starter;
}

}  // namespace ari
