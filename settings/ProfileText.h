// The text of a profile file (INI text) as the platform's profile functions read and write it:
// sections, keys, values, line ends and encodings. Pure text in, structure, text out; the file
// itself is read and replaced by platform/ProfileFile.h, and settings/ProfileKeys.h puts the two
// together.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace ari {

// Longest value a read returns, in characters (the platform's 2048-byte buffer less its NUL).
inline constexpr size_t kMaxProfileValueLength = 2047;

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

}  // namespace ari
