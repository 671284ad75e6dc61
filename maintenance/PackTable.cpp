#include "maintenance/PackTable.h"

#include <cstring>

namespace {

const char kNotOpened[] = "Table  must be opened to pack";
const char kNotExclusive[] = "Table  must be opened exclusively to pack";
const char kWrongType[] = "Table must be  either of Paradox or dBASE type to pack";
const char kParadox[] = "PARADOX";
const char kDbase[] = "DBASE";

// Close, set Exclusive, Open, bracketed for data-aware controls. An exception skips the
// enabling call on purpose: the controls stay disabled, as the table stays where it failed.
void Reopen(TTable& table, bool exclusive, bool withControls) {
    if (withControls)
        table.DisableControls();
    table.Close();
    table.SetExclusive(exclusive);
    table.Open();
    if (withControls)
        table.EnableControls();
}

}  // namespace

namespace ari {

std::string CursorInfoTypeText(const uint8_t* record) {
    const char* field = reinterpret_cast<const char*>(record + kCursorInfoTypeOffset);
    const size_t len = strnlen(field, kCursorInfoTypeLength);
    return std::string(field, len);
}

TableDescriptor MakePackDescriptor(const std::string& tableName, const std::string& typeText) {
    if (tableName.size() > kDescriptorNameMax)
        throw EDatabaseError("Table name too long to pack: " + tableName);
    if (typeText.size() >= kDescriptorTypeSize)
        throw EDatabaseError("Table type text too long to pack: " + typeText);
    TableDescriptor d{};
    std::memcpy(d.data() + kDescriptorNameOffset, tableName.data(), tableName.size());
    std::memcpy(d.data() + kDescriptorTypeOffset, typeText.data(), typeText.size());
    d[kDescriptorPackOffset] = 0xFF;  // 16-bit true as -1, little-endian
    d[kDescriptorPackOffset + 1] = 0xFF;
    return d;
}

}  // namespace ari

bool PackTable(TTable& table, bool withControls) {
    Reopen(table, true, withControls);
    if (!table.Active())
        throw EDatabaseError(kNotOpened);
    if (!table.Exclusive())
        throw EDatabaseError(kNotExclusive);

    std::array<uint8_t, kCursorInfoSize> info{};
    Check(EngineCursorInfo(table.Handle(), info.data()));
    // Table names are UTF-8 on this platform and the engine takes them as they are, so the
    // conversion to the narrow code page is the identity.
    const std::string typeText = ari::CursorInfoTypeText(info.data());

    if (typeText == kParadox) {
        DatabaseHandle database = nullptr;
        Check(EngineDatabaseOf(table.Handle(), kObjectKindDatabase, &database));
        const ari::TableDescriptor descriptor =
            ari::MakePackDescriptor(table.TableName(), typeText);
        table.Close();
        Check(EngineRestructure(database, 1, descriptor.data(), nullptr, nullptr, nullptr, 0));
    } else if (typeText == kDbase) {
        Check(EnginePack(table.DBHandle(), table.Handle(), nullptr, kDbase, -1));
    } else {
        throw EDatabaseError(kWrongType);
    }

    Reopen(table, false, withControls);
    return table.Active();
}
