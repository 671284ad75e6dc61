#include "engine/EngineErrors.h"

#include <algorithm>
#include <cstdio>

#include "engine/EngineStatus.h"

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

ari::ErrorKind EDBEngineError::KindOfStatus(uint16_t status) noexcept {
    using namespace ari::engine;
    switch (status) {
        case kStatusTableNotFound:
            return ari::ErrorKind::Missing;
        case kStatusTableInUse:
        case kStatusRecordsLocked:
            return ari::ErrorKind::InUse;
        case kStatusCorruptHeader:
        case kStatusCorruptData:
            return ari::ErrorKind::Damaged;
        default:
            return ari::ErrorKind::Other;
    }
}

EDBEngineError::EDBEngineError(uint16_t status, const std::vector<std::string>& texts,
                               std::string file)
    : EDBEngineError(status, texts, std::move(file), KindOfStatus(status)) {}

EDBEngineError::EDBEngineError(uint16_t status, const std::vector<std::string>& texts,
                               std::string file, ari::ErrorKind kind)
    : EDatabaseError(ComposeMessage(status, texts), kind, std::move(file)), status_(status) {}
