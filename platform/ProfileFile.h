// Profile files (INI text): the reading and writing rules of the platform's profile functions,
// as a pure text model (ProfileText) and as file operations that keep the file whole on disk.
// No widget toolkit here.
#pragma once

#include <string>
#include <vector>

namespace ari {

// Longest value a read returns, in characters (the platform's 2048-byte buffer less its NUL).
inline constexpr size_t kMaxProfileValueLength = 2047;
// Longest profile file read: a settings file is a few hundred bytes; one of megabytes is a
// fault, not a setting.
inline constexpr size_t kMaxProfileFileBytes = size_t{1} << 20;

// The text of one profile file. Lines are kept as they are (with their own line ends) except
// the ones a Write or Delete touches; a written line ends in CR LF.
// - Encodings, as the platform's profile functions read them: a file that starts with the
//   byte order mark of UTF-8 (EF BB BF) or UTF-16 (FF FE little-endian, FE FF big-endian) is
//   read as that encoding, anything else as UTF-8 text; Bytes() gives the text back in the
//   encoding it came in, mark included (untouched UTF-16 text comes back unit for unit).
// - A section starts at a line whose first non-blank character is '['; its name is the text up
//   to ']' with blanks trimmed. Keys and sections match without regard to ASCII case.
// - A key line holds '='; its key is the text before the first '=' trimmed, its value the rest.
//   Lines starting with ';' are comments. The first of several equal keys or sections counts.
class ProfileText {
  public:
    ProfileText() = default;
    explicit ProfileText(const std::string& bytes);

    // The value with blanks trimmed and one pair of enclosing quotation marks (" or ')
    // removed, cut to kMaxProfileValueLength characters; "" when the section or key is missing.
    // A NUL character in the value is returned as it is (callers refuse such a value).
    std::string Read(const std::string& section, const std::string& key) const;
    // Replaces the key's line in place, or adds "key=value" after the last non-blank line of
    // the section, or appends the section with the key at the end.
    void Write(const std::string& section, const std::string& key, const std::string& value);
    // Removes the key's line; false when there was none.
    bool Delete(const std::string& section, const std::string& key);

    std::string Bytes() const;

  private:
    enum class Encoding { Utf8, Utf8Bom, Utf16Le, Utf16Be };
    struct Line {
        std::string text;  // without its line end
        std::string end;   // "\r\n", "\n", "\r" or "" for a last line without one
    };
    // Index of the section's header line, or -1.
    int FindSection(const std::string& section) const;
    // Index of the key's line within the section starting at `header`, or -1.
    int FindKey(int header, const std::string& key) const;
    // One past the last line of the section starting at `header`.
    int SectionEnd(int header) const;

    std::vector<Line> lines_;
    Encoding encoding_ = Encoding::Utf8;
    std::string oddByte_;  // a UTF-16 file's last byte that makes no whole unit, kept as it is
};

// True when a section, key and value can be written without changing the file's structure:
// no CR or LF anywhere, no '=' in the key and no ']' in the section, neither of them empty.
bool IsWritableProfileEntry(const std::string& section, const std::string& key,
                            const std::string& value);

// Reads one key of a profile file; a missing or unreadable file, section or key reads as "".
std::string ReadProfileString(const std::string& path, const std::string& section,
                              const std::string& key);

// Reads one key of a profile file; a missing file, section or key reads as "". An existing file
// that cannot be read as a profile file throws EInOutError naming it: anything but a regular
// file (a pipe, device or folder; never waited on nor read without end), a file longer than
// kMaxProfileFileBytes, a read error.
std::string ReadProfileValue(const std::string& path, const std::string& section,
                             const std::string& key);

// Writes one key (ProfileText::Write), creating the file when it is missing. The new file
// content is written beside the file, flushed to disk and renamed over it, so the file is
// either the old one or the new one, and on disk when the call returns. The new file keeps the
// old one's encoding and carries what it carried (CarryFileAttributes: access lists and
// other extended attributes, owner and group where allowed, permissions); a symbolic link is
// followed, and the file it names is replaced in its own folder. What writes that ended part
// way left beside the file ("<name>.XXXXXX", held by no writer) is removed first.
// Throws EInOutError on any failure (also for an entry IsWritableProfileEntry refuses,
// with kInvalidFileName); the file is then unchanged.
void WriteProfileString(const std::string& path, const std::string& section, const std::string& key,
                        const std::string& value);

// Deletes one key the same way; a missing file, section or key is left as it is.
void DeleteProfileKey(const std::string& path, const std::string& section, const std::string& key);

}  // namespace ari
