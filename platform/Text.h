// Conversions between the encodings the program meets in files and tool output and the UTF-8
// text it works in. Pure functions over byte strings; no locale is consulted.
#pragma once

#include <string>

namespace ari {

// True when `bytes` is well-formed UTF-8: no overlong form, no surrogate, nothing past U+10FFFF,
// no sequence cut short.
bool IsValidUtf8(const std::string& bytes);

// Every byte one character (ISO 8859-1) to UTF-8.
std::string Utf8FromLatin1(const std::string& bytes);

// UTF-16 code units as UTF-8; a unit that is half of no pair is written as the three bytes its
// value takes, so that the text goes back to the same units unchanged. `bytes` holds the units,
// little-endian unless `bigEndian`; an odd last byte is dropped.
std::string Utf8FromUtf16Bytes(const std::string& bytes, bool bigEndian);

// UTF-8 (as Utf8FromUtf16Bytes makes it) to UTF-16 code units; a byte that starts no character
// becomes U+FFFD.
std::u16string Utf16FromUtf8(const std::string& text);
// UTF-16 code units to UTF-8, lone halves of pairs as Utf8FromUtf16Bytes writes them.
std::string Utf8FromUtf16(const std::u16string& units);

}  // namespace ari
