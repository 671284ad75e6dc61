#include "maintenance/IndexFiles.h"

namespace ari {

std::string IndexFileName(const std::string& tableFileName) {
    const auto dot = tableFileName.rfind('.');
    return (dot == std::string::npos ? tableFileName : tableFileName.substr(0, dot)) + ".mdx";
}

}  // namespace ari
