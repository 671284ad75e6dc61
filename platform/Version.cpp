#include "platform/Version.h"

// Only this file is compiled with ARI_VERSION (platform/CMakeLists.txt): a new version rebuilds
// one file.
#ifndef ARI_VERSION
#error "ARI_VERSION is set by the build"
#endif

namespace ari {

const char* ProjectVersion() {
    return ARI_VERSION;
}

}  // namespace ari
