// POSIX implementation of ProfileFile.h.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "platform/Env.h"
#include "platform/FileAccess.h"
#include "platform/FileErrors.h"
#include "platform/Files.h"
#include "platform/ProfileFile.h"
#include "platform/ScopedFd.h"

namespace ari {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b]))
        ++b;
    while (e > b && IsBlank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

// Cuts UTF-8 text to at most `count` characters (a character = a non-continuation byte).
std::string CutCharacters(const std::string& s, size_t count) {
    size_t chars = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
            if (chars == count)
                return s.substr(0, i);
            ++chars;
        }
    }
    return s;
}

// The section name of a header line, or false when the line is no header.
bool SectionName(const std::string& line, std::string& name) {
    const std::string t = Trim(line);
    if (t.empty() || t[0] != '[')
        return false;
    const size_t close = t.find(']');
    name = Trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
    return true;
}

// The key of a key line, or false for comments and lines without '='.
bool KeyName(const std::string& line, std::string& key) {
    const std::string t = Trim(line);
    if (t.empty() || t[0] == ';')
        return false;
    const size_t eq = line.find('=');
    if (eq == std::string::npos)
        return false;
    key = Trim(line.substr(0, eq));
    return true;
}

[[noreturn]] void RefuseTooLong(const std::string& path) {
    throw EInOutError(kAccessDenied, path + " is larger than " +
                                         std::to_string(kMaxProfileFileBytes >> 20) +
                                         " MiB; that is no settings file");
}

// The whole file; false when it does not exist. Other failures throw, also for anything but a
// regular file (a pipe would keep the read waiting, a device would never end it) and for a file
// longer than kMaxProfileFileBytes.
bool ReadWholeFile(const std::string& path, std::string& bytes) {
    int fd = -1;
    try {
        fd = OpenRegularFile(path, kOpenRead, LinkPolicy::Follow);
    } catch (const EInOutError& e) {
        if (e.ErrorCode() == kFileNotFound)
            return false;
        throw;
    }
    const ScopedFd f(fd);
    struct stat st;
    if (fstat(f.Get(), &st) == 0 && static_cast<uint64_t>(st.st_size) > kMaxProfileFileBytes)
        RefuseTooLong(path);
    bytes.clear();
    char buf[1 << 14];
    for (;;) {
        const ssize_t n = read(f.Get(), buf, sizeof buf);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ThrowLastInOutError();
        }
        bytes.append(buf, static_cast<size_t>(n));
        if (bytes.size() > kMaxProfileFileBytes)  // it grew while read
            RefuseTooLong(path);
    }
    return true;
}

// UTF-16 code units to UTF-8. A unit that is half of no pair is written as the three bytes its
// value takes, so that the text goes back to the same units unchanged.
std::string Utf16ToUtf8(const std::string& bytes, bool bigEndian) {
    auto unit = [&](size_t i) {
        const auto a = static_cast<unsigned char>(bytes[i]);
        const auto b = static_cast<unsigned char>(bytes[i + 1]);
        return bigEndian ? static_cast<uint32_t>(a << 8 | b) : static_cast<uint32_t>(b << 8 | a);
    };
    std::string out;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        uint32_t c = unit(i);
        if (c >= 0xD800 && c < 0xDC00 && i + 3 < bytes.size()) {
            const uint32_t low = unit(i + 2);
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | c >> 12);
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | c >> 18);
            out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// UTF-8 (as Utf16ToUtf8 makes it) back to UTF-16 code units; a byte that starts no character
// becomes U+FFFD.
std::string Utf8ToUtf16(const std::string& text, bool bigEndian) {
    std::string out;
    auto put = [&](uint32_t u) {
        const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
        out += bigEndian ? hi : lo;
        out += bigEndian ? lo : hi;
    };
    for (size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        const size_t len = b < 0x80         ? 1
                           : (b >> 5) == 6  ? 2
                           : (b >> 4) == 14 ? 3
                           : (b >> 3) == 30 ? 4
                                            : 0;
        bool whole = len > 0 && i + len <= text.size();
        for (size_t k = 1; whole && k < len; ++k)
            whole = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if (!whole) {
            put(0xFFFD);
            ++i;
            continue;
        }
        uint32_t c = len == 1 ? b : b & (0xFF >> (len + 1));
        for (size_t k = 1; k < len; ++k)
            c = c << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        if (c >= 0x10000) {
            put(0xD800 + ((c - 0x10000) >> 10));
            put(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            put(c);
        }
        i += len;
    }
    return out;
}

// The file a write replaces: symbolic links are followed so that the link itself stays.
std::string ResolveTarget(const std::string& path) {
    char buf[PATH_MAX];
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && realpath(path.c_str(), buf))
        return buf;
    return path;
}

// Takes (without waiting) an open-file-description lock over the whole of `fd`.
bool LockWhole(int fd, short type) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    return fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

// Removes what writes of `target` that ended part way left beside it: the files
// "<name>.XXXXXX" that ReplaceFile writes into, when no writer holds one (a live write keeps a
// read lock on its file until the rename).
void RemoveStaleTemporaries(const std::string& target) {
    std::string folder = ExtractFilePath(target);
    const std::string prefix = ExtractFileName(target) + ".";
    DIR* d = opendir(folder.empty() ? "." : folder.c_str());
    if (!d)
        return;
    while (const dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0)
            continue;
        const ScopedFd fd(
            openat(dirfd(d), e->d_name, O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        struct stat st;
        if (fd.Get() >= 0 && fstat(fd.Get(), &st) == 0 && S_ISREG(st.st_mode) &&
            LockWhole(fd.Get(), F_WRLCK))
            unlinkat(dirfd(d), e->d_name, 0);
    }
    closedir(d);
}

// Writes `bytes` to a new file beside `path`, flushes it and renames it over `path`.
void ReplaceFile(const std::string& path, const std::string& bytes) {
    const std::string target = ResolveTarget(path);
    RemoveStaleTemporaries(target);
    std::string tmp = target + ".XXXXXX";
    ScopedFd f(mkostemp(tmp.data(), O_CLOEXEC));
    if (f.Get() < 0)
        ThrowLastInOutError();
    // Held until the rename: another writer's clean-up leaves this file alone.
    const ScopedFd held(open(tmp.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (held.Get() < 0 || !LockWhole(held.Get(), F_RDLCK)) {
        const int err = errno;
        unlink(tmp.c_str());
        throw InOutErrorFromErrno(err);
    }
    auto fail = [&](int err) {
        unlink(tmp.c_str());
        throw InOutErrorFromErrno(err);
    };
    // A new file is readable by all; a replacement carries what the old file carried.
    if (fchmod(f.Get(), 0644) != 0)
        fail(errno);
    try {
        CarryFileAttributes(target, f.Get());
    } catch (const EInOutError&) {
        unlink(tmp.c_str());
        throw;
    }
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t w = ari::Env::Default()->Write(f.Get(), bytes.data() + done, bytes.size() - done);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            fail(errno);
        }
        done += static_cast<size_t>(w);
    }
    if (ari::Env::Default()->Sync(f.Get()) != 0)
        fail(errno);
    const int fd = f.Release();
    if (close(fd) != 0)
        fail(errno);
    if (ari::Env::Default()->Rename(tmp, target) != 0)
        fail(errno);
    // The rename itself is on disk once the folder is flushed.
    std::string folder = ExtractFilePath(target);
    if (folder.empty())
        folder = ".";
    const ScopedFd dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Get() >= 0)
        fsync(dir.Get());
}

}  // namespace

ProfileText::ProfileText(const std::string& fileBytes) {
    // The byte order marks the platform's profile functions recognise; the text is worked on as
    // UTF-8 and written back in the encoding it came in.
    std::string bytes;
    if (fileBytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        encoding_ = Encoding::Utf8Bom;
        bytes = fileBytes.substr(3);
    } else if (fileBytes.compare(0, 2, "\xFF\xFE") == 0 ||
               fileBytes.compare(0, 2, "\xFE\xFF") == 0) {
        encoding_ = fileBytes[0] == '\xFF' ? Encoding::Utf16Le : Encoding::Utf16Be;
        const std::string units = fileBytes.substr(2);
        if (units.size() % 2 != 0)
            oddByte_ = units.substr(units.size() - 1);
        bytes = Utf16ToUtf8(units, encoding_ == Encoding::Utf16Be);
    } else {
        bytes = fileBytes;
    }
    size_t i = 0;
    while (i < bytes.size()) {
        size_t j = i;
        while (j < bytes.size() && bytes[j] != '\r' && bytes[j] != '\n')
            ++j;
        Line line{bytes.substr(i, j - i), ""};
        if (j < bytes.size()) {
            if (bytes[j] == '\r' && j + 1 < bytes.size() && bytes[j + 1] == '\n') {
                line.end = "\r\n";
                j += 2;
            } else {
                line.end = std::string(1, bytes[j]);
                ++j;
            }
        }
        lines_.push_back(std::move(line));
        i = j;
    }
}

int ProfileText::FindSection(const std::string& section) const {
    const std::string wanted = Trim(section);
    std::string name;
    for (size_t i = 0; i < lines_.size(); ++i)
        if (SectionName(lines_[i].text, name) && EqualsNoCase(name, wanted))
            return static_cast<int>(i);
    return -1;
}

int ProfileText::SectionEnd(int header) const {
    std::string name;
    size_t i = static_cast<size_t>(header) + 1;
    while (i < lines_.size() && !SectionName(lines_[i].text, name))
        ++i;
    return static_cast<int>(i);
}

int ProfileText::FindKey(int header, const std::string& key) const {
    const std::string wanted = Trim(key);
    const int end = SectionEnd(header);
    std::string name;
    for (int i = header + 1; i < end; ++i)
        if (KeyName(lines_[static_cast<size_t>(i)].text, name) && EqualsNoCase(name, wanted))
            return i;
    return -1;
}

std::string ProfileText::Read(const std::string& section, const std::string& key) const {
    const int header = FindSection(section);
    if (header < 0)
        return {};
    const int at = FindKey(header, key);
    if (at < 0)
        return {};
    const std::string& line = lines_[static_cast<size_t>(at)].text;
    std::string value = Trim(line.substr(line.find('=') + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    return CutCharacters(value, kMaxProfileValueLength);
}

void ProfileText::Write(const std::string& section, const std::string& key,
                        const std::string& value) {
    const std::string text = Trim(key) + "=" + value;
    // A last line without a line end gets one before anything follows it.
    auto terminateLast = [this] {
        if (!lines_.empty() && lines_.back().end.empty())
            lines_.back().end = "\r\n";
    };
    const int header = FindSection(section);
    if (header < 0) {
        terminateLast();
        lines_.push_back({"[" + Trim(section) + "]", "\r\n"});
        lines_.push_back({text, "\r\n"});
        return;
    }
    const int at = FindKey(header, key);
    if (at >= 0) {
        Line& line = lines_[static_cast<size_t>(at)];
        line.text = text;
        line.end = "\r\n";  // a line the program writes ends in CR LF
        return;
    }
    int insert = SectionEnd(header);
    while (insert > header + 1 && Trim(lines_[static_cast<size_t>(insert - 1)].text).empty())
        --insert;
    if (insert == static_cast<int>(lines_.size()))
        terminateLast();
    if (lines_[static_cast<size_t>(insert - 1)].end.empty())
        lines_[static_cast<size_t>(insert - 1)].end = "\r\n";
    lines_.insert(lines_.begin() + insert, Line{text, "\r\n"});
}

bool ProfileText::Delete(const std::string& section, const std::string& key) {
    const int header = FindSection(section);
    if (header < 0)
        return false;
    const int at = FindKey(header, key);
    if (at < 0)
        return false;
    lines_.erase(lines_.begin() + at);
    return true;
}

std::string ProfileText::Bytes() const {
    std::string out;
    for (const Line& l : lines_)
        out += l.text + l.end;
    switch (encoding_) {
        case Encoding::Utf8:
            return out;
        case Encoding::Utf8Bom:
            return "\xEF\xBB\xBF" + out;
        case Encoding::Utf16Le:
            return "\xFF\xFE" + Utf8ToUtf16(out, false) + oddByte_;
        case Encoding::Utf16Be:
            return "\xFE\xFF" + Utf8ToUtf16(out, true) + oddByte_;
    }
    return out;
}

bool IsWritableProfileEntry(const std::string& section, const std::string& key,
                            const std::string& value) {
    auto hasLineBreak = [](const std::string& s) {
        return s.find_first_of("\r\n") != std::string::npos;
    };
    if (Trim(section).empty() || Trim(key).empty())
        return false;
    if (hasLineBreak(section) || hasLineBreak(key) || hasLineBreak(value))
        return false;
    if (key.find('=') != std::string::npos || section.find(']') != std::string::npos)
        return false;
    const std::string k = Trim(key);
    return k[0] != '[' && k[0] != ';';
}

std::string ReadProfileString(const std::string& path, const std::string& section,
                              const std::string& key) {
    std::string bytes;
    try {
        if (!ReadWholeFile(path, bytes))
            return {};
    } catch (const EInOutError&) {
        return {};  // read as a missing file; only a write must not go past it
    }
    return ProfileText(bytes).Read(section, key);
}

std::string ReadProfileValue(const std::string& path, const std::string& section,
                             const std::string& key) {
    std::string bytes;
    if (!ReadWholeFile(path, bytes))
        return {};
    return ProfileText(bytes).Read(section, key);
}

void WriteProfileString(const std::string& path, const std::string& section, const std::string& key,
                        const std::string& value) {
    if (!IsWritableProfileEntry(section, key, value))
        throw EInOutError(kInvalidFileName, FileErrorMessage(kInvalidFileName));
    std::string bytes;
    ReadWholeFile(path, bytes);
    ProfileText text(bytes);
    text.Write(section, key, value);
    ReplaceFile(path, text.Bytes());
}

void DeleteProfileKey(const std::string& path, const std::string& section, const std::string& key) {
    std::string bytes;
    if (!ReadWholeFile(path, bytes))
        return;
    ProfileText text(bytes);
    if (text.Delete(section, key))
        ReplaceFile(path, text.Bytes());
}

}  // namespace ari
