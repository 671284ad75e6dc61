#include "platform/Text.h"

#include <cstddef>
#include <cstdint>

namespace ari {

namespace {

void AppendUtf8(std::string& out, std::uint32_t c) {
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

// The length of the UTF-8 sequence that `lead` starts: 1 to 4, 0 for a byte that starts none.
std::size_t SequenceLength(unsigned char lead) {
    return lead < 0x80         ? 1
           : (lead >> 5) == 6  ? 2
           : (lead >> 4) == 14 ? 3
           : (lead >> 3) == 30 ? 4
                               : 0;
}

// Decodes the sequence at `i` into `c`; false when it is cut short or a continuation byte is
// missing. Does not judge the value.
bool DecodeAt(const std::string& text, std::size_t i, std::size_t len, std::uint32_t& c) {
    if (len == 0 || i + len > text.size())
        return false;
    const auto b = static_cast<unsigned char>(text[i]);
    c = len == 1 ? b : b & (0xFF >> (len + 1));
    for (std::size_t k = 1; k < len; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80)
            return false;
        c = c << 6 | (next & 0x3F);
    }
    return true;
}

}  // namespace

bool IsValidUtf8(const std::string& bytes) {
    static constexpr std::uint32_t kSmallest[5] = {0, 0, 0x80, 0x800, 0x10000};
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t len = SequenceLength(static_cast<unsigned char>(bytes[i]));
        std::uint32_t c = 0;
        if (!DecodeAt(bytes, i, len, c))
            return false;
        if (c < kSmallest[len] || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000))
            return false;
        i += len;
    }
    return true;
}

std::string Utf8FromLatin1(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (char b : bytes)
        AppendUtf8(out, static_cast<unsigned char>(b));
    return out;
}

std::string Utf8FromUtf16Bytes(const std::string& bytes, bool bigEndian) {
    std::u16string units;
    units.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const auto a = static_cast<unsigned char>(bytes[i]);
        const auto b = static_cast<unsigned char>(bytes[i + 1]);
        units += static_cast<char16_t>(bigEndian ? (a << 8 | b) : (b << 8 | a));
    }
    return Utf8FromUtf16(units);
}

std::string Utf8FromUtf16(const std::u16string& units) {
    std::string out;
    for (std::size_t i = 0; i < units.size(); ++i) {
        std::uint32_t c = units[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < units.size()) {
            const std::uint32_t low = units[i + 1];
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::u16string Utf16FromUtf8(const std::string& text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t len = SequenceLength(static_cast<unsigned char>(text[i]));
        std::uint32_t c = 0;
        if (!DecodeAt(text, i, len, c)) {
            out += u'\xFFFD';
            ++i;
            continue;
        }
        if (c >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
        i += len;
    }
    return out;
}

}  // namespace ari
