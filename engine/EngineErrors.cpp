#include "engine/EngineErrors.h"

#include <algorithm>
#include <cstdio>

std::string EDBEngineError::ComposeMessage(uint16_t status, const std::vector<std::string>& texts) {
    std::vector<std::string> kept;
    for (const auto& t : texts) {
        if (t.empty())
            continue;
        if (std::find(kept.begin(), kept.end(), t) != kept.end())
            continue;
        kept.push_back(t);
    }
    if (kept.empty()) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "BDE error $%.4x", static_cast<unsigned>(status));
        return buf;
    }
    std::string msg;
    for (size_t i = 0; i < kept.size(); ++i) {
        if (i)
            msg += '\n';
        msg += kept[i];
    }
    return msg;
}

EDBEngineError::EDBEngineError(uint16_t status, const std::vector<std::string>& texts)
    : EDatabaseError(ComposeMessage(status, texts)), status_(status) {}
