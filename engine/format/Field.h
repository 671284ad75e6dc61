// One field of a dBASE record as the key-expression and index code see it.
#pragma once

#include <cstdint>
#include <string>

namespace ari::engine {

struct FieldDef {
    std::string name;     // upper case, as stored (<= 10 characters)
    char type = 'C';      // C N F D L M B G ...
    uint16_t length = 0;  // bytes in the record
    uint8_t decimals = 0;
    uint32_t offset = 0;  // from the start of the record, the deletion flag being byte 0
};

}  // namespace ari::engine
