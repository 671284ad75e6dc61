#include "engine/format/DbfFormat.h"

#include <cstdio>

#include "engine/EngineStatus.h"

namespace ari::engine {

std::string Hex2(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", v & 0xFFu);
    return buf;
}

namespace {

[[noreturn]] void Corrupt(const std::string& path, const std::string& what) {
    RaiseTableError(kStatusCorruptHeader, path, {what});
}

bool IsDigit(uint8_t c) {
    return c >= '0' && c <= '9';
}
}  // namespace

DbfFamily FamilyOfVersion(uint8_t v) {
    switch (v) {
        case 0x03:
        case 0x83:
        case 0x8B:
        case 0x05:
        case 0x43:
        case 0x63:
        case 0x8E:
            return DbfFamily::DBase;
        case 0x30:
        case 0x31:
        case 0x32:
        case 0xF5:
        case 0xFB:
            return DbfFamily::FoxPro;
        case 0x04:
        case 0x8C:
            return DbfFamily::Level7;
        default:
            return DbfFamily::Unknown;
    }
}

MemoLayout MemoLayoutOfVersion(uint8_t v) {
    switch (v) {
        case 0x83:
            return MemoLayout::DBase3;
        case 0x8B:
        case 0x8E:
            return MemoLayout::DBase4;
        case 0x30:
        case 0x31:
        case 0x32:
        case 0xF5:
        case 0xFB:
            return MemoLayout::FoxPro;
        default:
            return MemoLayout::None;
    }
}

bool DbfHeader::HasMemoFields() const {
    for (const auto& f : fields)
        if (f.type == 'M' || f.type == 'B' || f.type == 'G')
            return true;
    return false;
}

uint16_t ClaimedHeaderLength(std::string_view bytes) {
    if (bytes.size() < dbf::kHeaderSize)
        return 0;
    return GetLE16(reinterpret_cast<const uint8_t*>(bytes.data()) + dbf::kHeaderLength);
}

DbfHeader ParseDbfHeader(std::string_view bytes, uint64_t fileSize, const std::string& path) {
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    if (fileSize == 0)
        Corrupt(path, "The file is empty.");
    if (bytes.size() < dbf::kHeaderSize || fileSize < dbf::kHeaderSize)
        Corrupt(path, "The file is shorter than a table header (" + std::to_string(fileSize) +
                          " bytes).");
    DbfHeader h;
    h.version = p[dbf::kVersion];
    h.family = FamilyOfVersion(h.version);
    if (h.family == DbfFamily::Level7)
        RaiseTableError(
            kStatusUnsupportedFormat, path,
            {"dBASE level 7 tables (version byte " + Hex2(h.version) + ") are not supported."});
    if (h.family == DbfFamily::Unknown)
        RaiseTableError(kStatusUnsupportedFormat, path,
                        {"Unknown table version byte " + Hex2(h.version) + "."});
    h.memoLayout = MemoLayoutOfVersion(h.version);
    h.updateYear = p[dbf::kUpdateYear];
    h.updateMonth = p[dbf::kUpdateYear + 1];
    h.updateDay = p[dbf::kUpdateYear + 2];
    h.recordCount = GetLE32(p + dbf::kRecordCount);
    h.headerLength = GetLE16(p + dbf::kHeaderLength);
    h.recordLength = GetLE16(p + dbf::kRecordLength);
    h.productionIndexFlag = p[dbf::kProductionIndexFlag];
    h.languageDriver = p[dbf::kLanguageDriver];
    h.encrypted = h.family == DbfFamily::DBase && p[dbf::kEncryptionFlag] == 1;

    const size_t minHeader = dbf::kHeaderSize + dbf::kDescriptorSize + 1;
    if (h.headerLength < minHeader)
        Corrupt(path, "Header length " + std::to_string(h.headerLength) +
                          " is too small for one field (at least " + std::to_string(minHeader) +
                          ").");
    if (h.headerLength > fileSize)
        Corrupt(path, "Header length " + std::to_string(h.headerLength) +
                          " is larger than the file (" + std::to_string(fileSize) + " bytes).");
    if (bytes.size() < h.headerLength)
        Corrupt(path, "The header is truncated.");
    if (h.recordLength < 2)
        Corrupt(path, "Record length " + std::to_string(h.recordLength) + " is too small.");
    if (h.encrypted)
        RaiseTableError(kStatusUnsupportedFormat, path, {"Encrypted tables are not supported."});

    // Field descriptors until the 0x0D terminator at a 32-byte boundary.
    uint32_t offset = 1;  // the deletion flag is byte 0
    size_t pos = dbf::kHeaderSize;
    bool terminated = false;
    while (pos + 1 <= h.headerLength) {
        if (p[pos] == dbf::kFieldTerminator) {
            terminated = true;
            break;
        }
        if (pos + dbf::kDescriptorSize > h.headerLength)
            break;
        const uint8_t* d = p + pos;
        FieldDef f;
        size_t n = 0;
        while (n < dbf::kFieldNameSize && d[n] != 0)
            ++n;
        f.name.assign(reinterpret_cast<const char*>(d), n);
        const std::string which = "Field " + std::to_string(h.fields.size() + 1);
        if (f.name.empty())
            Corrupt(path, which + " has no name.");
        for (char c : f.name)
            if (static_cast<uint8_t>(c) < 0x20 || static_cast<uint8_t>(c) > 0x7E)
                Corrupt(path, which + " has a name with unprintable characters.");
        f.type = static_cast<char>(d[dbf::kFieldType]);
        f.length = d[dbf::kFieldLength];
        f.decimals = d[dbf::kFieldDecimals];
        if (h.family == DbfFamily::FoxPro && f.type == 'C') {
            // FoxPro keeps the high byte of a long character field's length in the decimals.
            f.length = static_cast<uint16_t>(f.length | (f.decimals << 8));
            f.decimals = 0;
        }
        f.offset = offset;
        const std::string named = which + " (" + f.name + ")";
        if (f.length == 0)
            Corrupt(path, named + " has length 0.");
        if (h.family == DbfFamily::DBase) {
            switch (f.type) {
                case 'C':
                case 'N':
                case 'F':
                    break;
                case 'D':
                    if (f.length != 8)
                        Corrupt(path, named + ": a date field must be 8 bytes.");
                    break;
                case 'L':
                    if (f.length != 1)
                        Corrupt(path, named + ": a logical field must be 1 byte.");
                    break;
                case 'M':
                case 'B':
                case 'G':
                    if (f.length != dbf::kMemoPointerWidth)
                        Corrupt(path, named + ": a memo field must be 10 bytes.");
                    break;
                default:
                    RaiseTableError(kStatusUnsupportedFormat, path,
                                    {named + " has the unsupported type " +
                                     Hex2(static_cast<uint8_t>(f.type)) + "."});
            }
        }
        offset += f.length;
        h.fields.push_back(std::move(f));
        pos += dbf::kDescriptorSize;
    }
    if (!terminated && h.family == DbfFamily::DBase)
        Corrupt(path, "The field list has no terminator byte (0x0D) within the header.");
    if (h.fields.empty())
        Corrupt(path, "The table has no fields.");
    if (offset != h.recordLength)
        Corrupt(path, "Record length " + std::to_string(h.recordLength) +
                          " does not match the fields (1 + field lengths = " +
                          std::to_string(offset) + ").");
    return h;
}

bool ParseMemoPointer(std::string_view text, uint32_t& block) {
    block = 0;
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == 0))
        ++i;
    if (i == text.size())
        return true;
    uint64_t v = 0;
    size_t digits = 0;
    for (; i < text.size() && IsDigit(static_cast<uint8_t>(text[i])); ++i, ++digits) {
        v = v * 10 + static_cast<uint64_t>(text[i] - '0');
        if (v > 0xFFFFFFFFull)
            return false;
    }
    for (; i < text.size(); ++i)
        if (text[i] != ' ' && text[i] != 0)
            return false;
    if (digits == 0)
        return false;
    block = static_cast<uint32_t>(v);
    return true;
}

bool RecordLooksPlausible(const uint8_t* rec, const DbfHeader& h) {
    if (rec[0] != dbf::kLiveFlag && rec[0] != dbf::kDeletedFlag)
        return false;
    for (const auto& f : h.fields) {
        const uint8_t* v = rec + f.offset;
        switch (f.type) {
            case 'N':
            case 'F':
                for (size_t i = 0; i < f.length; ++i) {
                    const uint8_t c = v[i];
                    if (!(IsDigit(c) || c == ' ' || c == '-' || c == '+' || c == '.' || c == 'e' ||
                          c == 'E' || c == '*' || c == 0))
                        return false;
                }
                break;
            case 'D':
                for (size_t i = 0; i < f.length; ++i)
                    if (!IsDigit(v[i]) && v[i] != ' ' && v[i] != 0)
                        return false;
                break;
            case 'L':
                if (std::string_view("TtFfYyNn? ").find(static_cast<char>(v[0])) ==
                        std::string_view::npos &&
                    v[0] != 0)
                    return false;
                break;
            case 'M':
            case 'B':
            case 'G': {
                uint32_t block;
                if (h.family == DbfFamily::DBase &&
                    !ParseMemoPointer(std::string_view(reinterpret_cast<const char*>(v), f.length),
                                      block))
                    return false;
                break;
            }
            default:
                break;
        }
    }
    return true;
}

uint32_t PhysicalRecordCount(const DbfHeader& h, uint64_t fileSize) {
    if (fileSize <= h.headerLength)
        return 0;
    const uint64_t p = (fileSize - h.headerLength) / h.recordLength;
    return p > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(p);
}

}  // namespace ari::engine
