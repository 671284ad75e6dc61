#include "maintenance/IndexFiles.h"

#include <algorithm>

#include "platform/Exception.h"
#include "platform/Files.h"

namespace ari {

std::string IndexFileName(const std::string& tableFileName) {
    const auto dot = tableFileName.rfind('.');
    return (dot == std::string::npos ? tableFileName : tableFileName.substr(0, dot)) + ".mdx";
}

std::vector<std::string> FilesNamedNoCase(const std::string& folder, const std::string& name) {
    std::vector<std::string> found;
    if (FileExists(folder + name))
        found.push_back(name);
    std::vector<std::string> listed;
    try {
        // The name as a mask: wildcard characters in it can only widen the listing, and the
        // exact comparison below narrows it again.
        listed = ListFiles(folder, name);
    } catch (const Exception&) {
        return found;  // an unreadable folder: only what the direct test saw
    }
    for (const auto& n : listed) {
        if (n != name && EqualsNoCase(n, name))
            found.push_back(n);
    }
    return found;
}

}  // namespace ari
